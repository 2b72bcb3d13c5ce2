#include "board.h"
#include "positions.h"
#include "program.h"

#include <gtest/gtest.h>

namespace {

struct LineCase {
    const char* name;
    std::string line;
    std::vector<int> row;
    friend void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }
};

class EncodeMap : public testing::TestWithParam<LineCase> { };

TEST_P(EncodeMap, YieldsTheCodesOfTheFirstNineCharacters)
{
    EXPECT_EQ(encode_map(GetParam().line), GetParam().row);
}

INSTANTIATE_TEST_SUITE_P(Lines, EncodeMap,
    testing::Values(LineCase { "LabelDropsOut", "5+*b*L*+*", { 0, 0, 1, 0, 9, 0, 0, 0 } },
        LineCase { "PlusAndStarAreEmpty", "8+*+*+*+*", { 0, 0, 0, 0, 0, 0, 0, 0 } },
        LineCase { "NoLabel", "++++++++", { 0, 0, 0, 0, 0, 0, 0, 0 } },
        LineCase { "EverySymbol", "b+B+l+L+", { 1, 0, 2, 0, 7, 0, 9, 0 } },
        LineCase { "NinthPositionCounts", "+++++++bL", { 0, 0, 0, 0, 0, 0, 0, 1, 9 } },
        LineCase { "TenthAndLaterIgnored", "1++++++++bBL", { 0, 0, 0, 0, 0, 0, 0, 0 } },
        LineCase { "CarriageReturnIsNoCell", "1++++++++\r", { 0, 0, 0, 0, 0, 0, 0, 0 } },
        LineCase { "SpacesCloseUp", " b b b b ", { 1, 1, 1, 1 } },
        LineCase { "OnlyLabelsYieldAnEmptyRow", "12345678", {} }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DamkaCordsFind, PrefersTheLowestRowThenTheLeftmostKing)
{
    EXPECT_EQ(damka_cords_find(position("Lc5 Lf2")), Position(6, 5));
    EXPECT_EQ(damka_cords_find(position("Lg2 Lc2 La8")), Position(6, 2));
    EXPECT_EQ(damka_cords_find(position("Lh8")), Position(0, 7));
}

TEST(DamkaCordsFind, OwnMenAreNotKings)
{
    EXPECT_EQ(damka_cords_find(position("la1 lh8 bd4 Bd5")), kNoKing);
}

TEST(ReadBoardText, SkipsTheHeaderWhateverItHolds)
{
    const std::string header_like_a_row = "L+++++++\n";
    const Board board = position("Ld4 be4");
    const std::string text = header_like_a_row + board_file_text(board).substr(11);
    const BoardReading reading = read_board_text(text);
    ASSERT_FALSE(reading.error);
    EXPECT_EQ(reading.board, board);
}

TEST(ReadBoardText, ReadsCrLfLinesAndIgnoresLinesAfterTheEighth)
{
    const Board board = position("Ld4 be4 lh1 Bc8");
    const std::string text = board_file_text(board, "\r\n") + "garbage\nL\n\n";
    const BoardReading reading = read_board_text(text);
    ASSERT_FALSE(reading.error);
    EXPECT_EQ(reading.board, board);
}

TEST(ReadBoardText, LastLineNeedsNoLineEnd)
{
    std::string text = board_file_text(position("Ld4"));
    text.pop_back();
    const BoardReading reading = read_board_text(text);
    EXPECT_FALSE(reading.error);
}

struct IllFormedCase {
    const char* name;
    std::string text;
    int line;
    std::string message;
    int column = 0;
    friend void PrintTo(const IllFormedCase& c, std::ostream* out) { *out << c.name; }
};

class IllFormedBoard : public testing::TestWithParam<IllFormedCase> { };

TEST_P(IllFormedBoard, IsReportedWithItsLine)
{
    const BoardReading reading = read_board_text(GetParam().text);
    ASSERT_TRUE(reading.error);
    EXPECT_EQ(reading.error->line, GetParam().line);
    EXPECT_EQ(reading.error->column, GetParam().column);
    EXPECT_EQ(reading.error->message, GetParam().message);
}

const std::string kRow = "1++++++++\n";

INSTANTIATE_TEST_SUITE_P(Files, IllFormedBoard,
    testing::Values(IllFormedCase { "Empty", "", 0, "the file is empty" },
        IllFormedCase {
            "HeaderOnly", "header\n", 0, "expected 8 board lines after the header, found 0" },
        IllFormedCase { "FiveLines", "h\n" + kRow + kRow + kRow + kRow + kRow, 0,
            "expected 8 board lines after the header, found 5" },
        IllFormedCase { "SevenSquares", "h\n" + kRow + kRow + "3+++++++\n" + kRow, 4,
            "expected 8 squares, found 7" },
        // A label and a space take two of the nine characters read: the eighth square is cut off.
        IllFormedCase { "LabelAndSpaceLeaveSevenSquares",
            "h\n" + kRow + kRow + "6 ++b+++b+\n" + kRow, 4, "expected 8 squares, found 7" },
        // Labels, spaces, tabs and CRs drop out unnamed; the first other character that does not
        // count as a square is named where the line falls short.
        IllFormedCase { "MistypedSymbolIsNamedWithItsColumn", "h\n" + kRow + "7 \t+x+++y+\r\n", 3,
            "'x' is not a square symbol (+ * b B l L): expected 8 squares, found 4", 5 },
        IllFormedCase { "UnprintableByteIsShownByItsValue", "h\n+++\xC3\xA9+++\n", 2,
            "byte 0xC3 is not a square symbol (+ * b B l L): expected 8 squares, found 6", 4 },
        IllFormedCase {
            "NineSquares", "h\n" + kRow + "++++++++L\n", 3, "expected 8 squares, found 9" },
        IllFormedCase {
            "ShortLineBeforeMissingLines", "h\n+\n", 2, "expected 8 squares, found 1" }),
    [](const auto& info) { return std::string(info.param.name); });

// The file is read in large pieces and searched for line ends a piece at a time: a line, or the
// nine characters examined of it, split between two pieces must read as if it were whole.
TEST(ReadBoardFile, ReadsAsTheTextDoesWhereverThePiecesSplitIt)
{
    const Board expected = position("Ld4 be4 lh1 Bc8");
    const std::string board = board_file_text(expected).substr(11);
    TempDir dir;
    for (const std::size_t piece : { std::size_t { 256 } << 10, std::size_t { 512 } << 10 }) {
        for (std::size_t header = piece - 24; header <= piece + 2; ++header) {
            const std::string text = std::string(header - 1, 'x') + "\n" + board + "junk";
            write_file(dir / "board", text);
            const BoardReading from_file = read_board_file((dir / "board").string());
            ASSERT_FALSE(from_file.error) << header;
            EXPECT_EQ(from_file.board, expected) << header;
        }
    }
}

} // namespace
