#include "path_text.h"
#include "walk.h"

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

// The search decides by squares what the text rule decides by characters: on every pair.
TEST(ReplacesLastRank, BySquaresAsByTheText)
{
    for (Square last = 0; last < 64; ++last) {
        for (Square landing = 0; landing < 64; ++landing) {
            EXPECT_EQ(replaces_last_rank(last, landing),
                replaces_last_rank(
                    file_char(last), rank_char(last), file_char(landing), rank_char(landing)))
                << last << " to " << landing;
        }
    }
}

} // namespace
