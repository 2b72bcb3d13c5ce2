#include "big_boards.h"
#include "file_door.h"
#include "positions.h"
#include "program.h"
#include "result_lines.h"
#include "run.h"
#include "system_messages.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include "fifo_reader.h"

#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kNothingButTheBoard { kBoardFileName };
const std::vector<std::string> kBoardAndResult { kBoardFileName, kResultFileName };

ProgramRun run_on(
    const TempDir& dir, const std::string& board_text, const std::vector<std::string>& args = {})
{
    write_file(dir / kBoardFileName, board_text);
    return run_program(RUNEL_PROGRAM, dir.path(), args);
}

TEST(Run, WritesTheSettledPathsSortedWithEveryLineEnded)
{
    TempDir dir;
    const ProgramRun run = run_on(dir, board_file_text(position("Ld3 ld5 bd6")));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(read_file(dir / kResultFileName), result_lines({ "d3:d7", "d3:d8" }));
    EXPECT_EQ(dir.entries(), kBoardAndResult);
}

TEST(Run, WritesNoWithoutLineEndWhenNothingIsCaptured)
{
    TempDir dir;
    const ProgramRun run = run_on(dir, board_file_text(position("La1 bc1")));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName), "No");
}

TEST(Run, BoardWithoutAnOwnKingGivesNo)
{
    TempDir dir;
    const ProgramRun run = run_on(dir, board_file_text(position("la1 bc1 Bd4")));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(read_file(dir / kResultFileName), "No");
}

TEST(Run, ReadsCrLfBoardFiles)
{
    TempDir dir;
    const ProgramRun run = run_on(dir, board_file_text(position("La1 bc1 Be5"), "\r\n"));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName), result_lines({ "a1:e1:e6:e8" }));
}

TEST(Run, ReplacesAPreviousResultAndIgnoresArguments)
{
    TempDir dir;
    write_file(dir / kResultFileName, "a much longer stale result from an earlier run\n");
    const ProgramRun run = run_on(dir, board_file_text(position("Ld6 bd4")), { "-o", "x.txt" });
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName), result_lines({ "d6:d3:d1" }));
    EXPECT_EQ(dir.entries(), kBoardAndResult);
}

TEST(Run, TheShippedExampleHasAnInterestingResult)
{
    TempDir dir;
    fs::copy_file(fs::path(RUNEL_EXAMPLES) / kBoardFileName, dir / kBoardFileName);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName),
        with_line_ends(read_file(fs::path(RUNEL_EXAMPLES) / "Runel_out.expected.txt")));
}

struct IllFormedCase {
    const char* name;
    std::string board_text;
    std::string message;
    friend void PrintTo(const IllFormedCase& c, std::ostream* out) { *out << c.name; }
};

class IllFormedBoardFile : public testing::TestWithParam<IllFormedCase> { };

TEST_P(IllFormedBoardFile, FailsWithOneLineAndLeavesNoResult)
{
    TempDir dir;
    write_file(dir / kResultFileName, "stale\n");
    const ProgramRun run = run_on(dir, GetParam().board_text);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.errors, GetParam().message + "; the earlier result was removed\n");
    EXPECT_EQ(dir.entries(), kNothingButTheBoard);
}

const std::string kEmptyRow = "1++++++++\n";
const std::string kSevenRows
    = "h\n" + kEmptyRow + kEmptyRow + kEmptyRow + kEmptyRow + kEmptyRow + kEmptyRow + kEmptyRow;

INSTANTIATE_TEST_SUITE_P(Files, IllFormedBoardFile,
    testing::Values(IllFormedCase { "Empty", "", "Runel_in.txt: the file is empty" },
        IllFormedCase { "HeaderOnly", "  abcdefgh\n",
            "Runel_in.txt: expected 8 board lines after the header, found 0" },
        IllFormedCase { "SevenLines", kSevenRows,
            "Runel_in.txt: expected 8 board lines after the header, found 7" },
        IllFormedCase {
            "ShortLine", kSevenRows + "1+L+++b+\n", "Runel_in.txt:9: expected 8 squares, found 7" },
        IllFormedCase { "MistypedSymbol", kSevenRows + "1+++o++++\n",
            "Runel_in.txt:9:5: 'o' is not a square symbol (+ * b B l L): expected 8 squares, "
            "found 7" },
        IllFormedCase { "NinthCell", "h\n" + kEmptyRow + "L+++++++L\n" + kSevenRows.substr(2),
            "Runel_in.txt:3: expected 8 squares, found 9" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Run, MissingBoardFileFails)
{
    TempDir dir;
    write_file(dir / kResultFileName, "stale\n");
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.errors,
        "Runel_in.txt: cannot open: " + kNoSuchFileText + "; the earlier result was removed\n");
    EXPECT_TRUE(dir.entries().empty());
}

// A run killed while it had the result's name moved aside: the next run puts the file back, and,
// since it was not there when that run began, does not take it for its own stale result.
TEST(Run, PutsBackAFileAStoppedRunLeftAside)
{
    const FolderDoor& door = system_folder_door();
    if (door.rename_no_replace(door.working_folder, "", "") == std::errc::operation_not_supported)
        GTEST_SKIP() << "this system cannot rename without replacing: no name is moved aside";
    TempDir dir;
    // No process has this number: Linux gives at most 2^22, Windows only multiples of 4.
    write_file(dir / "Runel_out.txt.runel-removing-2147483646-1", "earlier\n");
    const ProgramRun run = run_on(dir, "");
    EXPECT_EQ(run.exit_status, 1);
    // Put back after the run looked at the name: not the run's to speak of, nor to remove.
    EXPECT_EQ(run.errors, "Runel_in.txt: the file is empty\n");
    EXPECT_EQ(dir.entries(), kBoardAndResult);
    EXPECT_EQ(read_file(dir / kResultFileName), "earlier\n");
}

TEST(Run, UnwritableResultFailsAndLeavesNothingBehind)
{
    TempDir dir;
    fs::create_directory(dir / kResultFileName);
    const ProgramRun run = run_on(dir, board_file_text(position("La1 ba3")));
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.errors, kResultFolderMessage + "\n");
    EXPECT_EQ(dir.entries(), kBoardAndResult);
    EXPECT_TRUE(fs::is_directory(dir / kResultFileName));
}

#if !defined(_WIN32)
// A pipe takes the result once, in order, and can neither give it back nor be sought in: past
// the stream's 8 MB buffer, a writer that copied what it wrote before would fail. A 37 MB result
// through a FIFO at the result's name must arrive as a regular file gets it.
TEST(Run, FifoTakesAResultManyTimesTheWriteBuffer)
{
    TempDir in_a_file;
    ASSERT_EQ(run_on(in_a_file, kTensOfMegabytesBoard).exit_status, 0);
    const std::string expected = read_file(in_a_file / kResultFileName);

    TempDir dir;
    const fs::path fifo = dir / kResultFileName;
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    FifoReader reader(fifo);
    const ProgramRun run = run_on(dir, kTensOfMegabytesBoard);
    const std::string& drained = reader.finish();
    EXPECT_EQ(run.exit_status, 0) << run.errors;
    EXPECT_GT(expected.size(), std::size_t { 4 } * (8 << 20));
    // Compared whole, not printed whole: the texts are tens of megabytes.
    EXPECT_TRUE(drained == expected)
        << "the FIFO got " << drained.size() << " bytes of " << expected.size();
}
#endif

} // namespace
