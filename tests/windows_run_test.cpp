// What only Windows has to show: text lines ended with CR LF, files protected by their
// read-only attribute, and runs ended by TerminateProcess, which no program can catch.

#include "big_boards.h"
#include "files.h"
#include "positions.h"
#include "program.h"
#include "run.h"

#include <gtest/gtest.h>

#include <system_error>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kNothingButTheBoard { kBoardFileName };
const std::vector<std::string> kBoardAndResult { kBoardFileName, kResultFileName };

TEST(WindowsRun, EveryResultLineEndsWithCrLfAndNoStaysTwoBytes)
{
    TempDir dir;
    write_file(dir / kBoardFileName, board_file_text(position("Ld3 ld5 bd6"), "\r\n"));
    EXPECT_EQ(run_program(RUNEL_PROGRAM, dir.path()).exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName), "d3:d7\r\nd3:d8\r\n");

    write_file(dir / kBoardFileName, board_file_text(position("La1 bc1")));
    EXPECT_EQ(run_program(RUNEL_PROGRAM, dir.path()).exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName), "No");
}

void make_read_only(const fs::path& path)
{
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
        fs::perm_options::remove);
}

struct ProtectedCase {
    const char* name;
    std::string board_text;
    std::string message;
    friend void PrintTo(const ProtectedCase& c, std::ostream* out) { *out << c.name; }
};

class ReadOnlyResult : public testing::TestWithParam<ProtectedCase> { };

TEST_P(ReadOnlyResult, IsNeitherReplacedNorRemoved)
{
    TempDir dir;
    write_file(dir / kBoardFileName, GetParam().board_text);
    write_file(dir / kResultFileName, "kept\r\n");
    make_read_only(dir / kResultFileName);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.errors, GetParam().message + "\n");
    EXPECT_EQ(read_file(dir / kResultFileName), "kept\r\n");
    EXPECT_EQ(
        fs::status(dir / kResultFileName).permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_EQ(dir.entries(), kBoardAndResult);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadOnlyResult,
    testing::Values(ProtectedCase { "Board", board_file_text(position("Ld6 bd4")),
                        "Runel_out.txt: cannot write the result: "
                            + std::system_category().message(5) }, // ERROR_ACCESS_DENIED
        ProtectedCase {
            "IllFormedBoard", "header\n++++\n", "Runel_in.txt:2: expected 8 squares, found 4" }),
    [](const auto& info) { return std::string(info.param.name); });

class KilledRun : public testing::TestWithParam<int> { };

TEST_P(KilledRun, LeavesNoTemporaryFile)
{
    // Counting this board's result takes many seconds, with the temporary file already made.
    TempDir dir;
    write_file(dir / kBoardFileName, kHundredsOfGigabytesBoard);
    ProgramLimits limits;
    limits.kill_after_ms = GetParam();
    run_program(RUNEL_PROGRAM, dir.path(), {}, limits);
    EXPECT_EQ(dir.entries(), kNothingButTheBoard);
}

// From before the temporary file exists, through its creation, to the size count.
INSTANTIATE_TEST_SUITE_P(AfterMilliseconds, KilledRun, testing::Values(5, 20, 60, 300));

TEST(WindowsResultOutput, DeviceTakesTheBytesInOrder)
{
    const std::unique_ptr<ResultOutput> output = open_result("NUL");
    EXPECT_FALSE(output->random_access());
    output->reserve(std::uint64_t { 1 } << 50); // nothing to hold on a device
    output->write_at(0, "a1:a3\r\n", 7);
    output->write_at(7, "No", 2);
    EXPECT_THROW(output->write_at(0, "x", 1), std::system_error); // a device cannot go back
    output->commit();
}

} // namespace
