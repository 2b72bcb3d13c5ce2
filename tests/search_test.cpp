#include "positions.h"
#include "search.h"

#include <gtest/gtest.h>

namespace {

struct PathCase {
    const char* name;
    std::string path;
    Position from;
    Position to;
    std::string expected;
    friend void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }
};

class EditPath : public testing::TestWithParam<PathCase> { };

TEST_P(EditPath, ExtendsByTheLandingSquare)
{
    const PathCase& c = GetParam();
    EXPECT_EQ(edit_path(c.path, c.from, c.to), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, EditPath,
    testing::Values(PathCase { "EmptyStartsWithFrom", "", { 7, 0 }, { 4, 0 }, "a1:a4" },
        PathCase { "OneRankUpReplaces", "a1:a4", { 7, 0 }, { 3, 0 }, "a1:a5" },
        PathCase { "TwoRanksAppends", "a1:a4", { 7, 0 }, { 2, 0 }, "a1:a4:a6" },
        PathCase { "OneRankDownReplaces", "a1:a4", { 7, 0 }, { 5, 0 }, "a1:a3" },
        PathCase { "OtherFileAppends", "a1:a4", { 7, 0 }, { 4, 1 }, "a1:a4:b4" },
        PathCase { "NeighbourFile", "c3:c6", { 5, 2 }, { 2, 3 }, "c3:c6:d6" },
        PathCase { "OnlyTheTextDecides", "a1:e1", { 2, 4 }, { 6, 4 }, "a1:e2" },
        PathCase { "CornerNames", "", { 0, 7 }, { 7, 7 }, "h8:h1" }),
    [](const auto& info) { return std::string(info.param.name); });

struct SearchCase {
    const char* name;
    std::string pieces;
    std::set<std::string> expected;
    friend void PrintTo(const SearchCase& c, std::ostream* out) { *out << c.name; }
};

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

INSTANTIATE_TEST_SUITE_P(Boards, Logic,
    testing::Values(SearchCase { "NoEnemyOnTheLines", "Ld4 bc5 be3 lc1", {} },
        SearchCase { "LaterLandingsReplaceAndExtend", "La1 ba3", { "a1:a4:a6:a8" } },
        SearchCase { "ColumnFilterSkipsLandings", "Lh3 bb8 bd8 be3", { "h3:d3:b3" } },
        SearchCase { "NoLandingColumnNoCapture", "La1 bc1", {} },
        SearchCase { "LandingOverwritesAPiece", "Lh1 bc1 be1", { "h1:c1" } },
        SearchCase { "RowThenColumn", "La1 bc1 Be5", { "a1:e1:e6:e8" } },
        SearchCase {
            "LaterCapturesExtendTheAdoptedText", "La1 bc1 ba3 Be5", { "a1:e1:e6:e8:a4:a6:a8" } },
        SearchCase { "FirstSquareBeyondMustBeEmpty", "Ld3 bd4 ld5", {} },
        SearchCase { "PiecesBetweenAreNotLookedAt", "Ld3 ld5 bd6", { "d3:d7", "d3:d8" } },
        SearchCase { "DownwardsFarthestLast", "Ld6 bd4", { "d6:d3:d1" } },
        SearchCase { "EdgePiecesLeftRightAboveNeverCaptured", "Ld1 ba1 bh1 bd8", {} },
        SearchCase { "EdgePieceBelowNeverCaptured", "Ld8 bd1 bb5", {} },
        SearchCase { "OtherKingsAreOccupiedSquares", "Ld3 Ld4 bd5", { "d3:d6:d8" } }),
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
