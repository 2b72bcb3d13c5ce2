#include "positions.h"
#include "reference_search.h"
#include "search_cases.h"

#include <gtest/gtest.h>

namespace {

class Logic : public testing::TestWithParam<SearchCase> { };

TEST_P(Logic, SettlesThePaths)
{
    const Board board = position(GetParam().pieces);
    pathes.clear();
    const std::string returned = logic(board, damka_cords_find(board), "");
    EXPECT_EQ(pathes, GetParam().expected);
    // The returned text is the longest settled one, and every settled text is as long.
    if (pathes.empty()) {
        EXPECT_EQ(returned, "");
    } else {
        EXPECT_EQ(pathes.count(returned), 1U);
        for (const auto& path : pathes) EXPECT_EQ(path.size(), returned.size());
    }
    pathes.clear();
}

INSTANTIATE_TEST_SUITE_P(Boards, Logic, testing::ValuesIn(search_cases()),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EditMap, MovesTheKingAndRemovesTheCapturedPiece)
{
    const Board before = position("Ld2 bd5 bf2");
    EXPECT_EQ(edit_map(before, { 6, 3 }, 3, 0, -2), position("Ld7 bf2"));
    EXPECT_EQ(edit_map(before, { 6, 3 }, 0, 5, 2), position("Lh2 bd5"));
}

TEST(IfInVertEnemy, SeesEnemyMenAndKingsOnly)
{
    const Board board = position("ba8 Bb1 lc4 Ld5");
    EXPECT_TRUE(if_in_vert_enemy(board, 0));
    EXPECT_TRUE(if_in_vert_enemy(board, 1));
    EXPECT_FALSE(if_in_vert_enemy(board, 2));
    EXPECT_FALSE(if_in_vert_enemy(board, 3));
}

} // namespace
