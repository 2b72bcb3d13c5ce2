// How a run fails: a result that cannot be written, and board files that are not boards. Every
// failure is one line on stderr, exit status 1, and no result file - neither a partial nor a
// stale one - and no temporary file left behind.

#include "big_boards.h"
#include "positions.h"
#include "program.h"
#include "result_lines.h"
#include "run.h"
#include "system_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <iostream>
#include <random>
#include <thread>
#if defined(__linux__)
#include "memory_cgroup.h"
#include "small_file_system.h"
#endif

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kNothingButTheBoard { kBoardFileName };

// A directory holding `board_text` and a result left by an earlier run.
// The end of the message of a run that failed beside a stale result, which goes.
const std::string kRemoved = "; the earlier result was removed\n";

void lay_out(const TempDir& dir, const std::string& board_text)
{
    write_file(dir / kBoardFileName, board_text);
    write_file(dir / kResultFileName, "stale\n");
}

void expect_failed_cleanly(const ProgramRun& run, const TempDir& dir)
{
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
    EXPECT_EQ(run.errors.back(), '\n');
    EXPECT_EQ(dir.entries(), kNothingButTheBoard);
}

#if defined(_WIN32)
TEST(RunFaults, FileSizeLimitBelowTheResultRefusesItUpFront)
{
    GTEST_SKIP() << "Windows has no limit on the size of the files a process writes";
}

TEST(RunFaults, WriteFailingPartWayLeavesNothingBehind)
{
    GTEST_SKIP() << "Windows has no file size limit to stop a write part-way";
}
#else
// Files may grow to one megabyte, far less than the result of kSeveralMegabyteBoard.
ProgramLimits one_megabyte_files()
{
    ProgramLimits limits;
    limits.file_size_bytes = 1 << 20;
    return limits;
}

TEST(RunFaults, FileSizeLimitBelowTheResultRefusesItUpFront)
{
    TempDir dir;
    lay_out(dir, kSeveralMegabyteBoard);
    ProgramLimits limits = one_megabyte_files();
    limits.ignore_file_size_signal = false; // the program must not die of SIGXFSZ
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path(), {}, limits);
    expect_failed_cleanly(run, dir);
    EXPECT_EQ(run.errors, "Runel_out.txt: cannot write the result: File too large" + kRemoved);
}

TEST(RunFaults, WriteFailingPartWayLeavesNothingBehind)
{
    // Without a size count the result streams out, and the limit stops it part-way, as a full
    // disk would.
    TempDir dir;
    lay_out(dir, kSeveralMegabyteBoard);
    const ProgramRun streamed = run_in_child(dir.path(), one_megabyte_files(), [] {
        RunOptions no_size_count;
        no_size_count.size_count_budget = 0;
        return run(std::cerr, no_size_count);
    });
    expect_failed_cleanly(streamed, dir);
    EXPECT_EQ(streamed.errors, "Runel_out.txt: cannot write the result: File too large" + kRemoved);
}
#endif

#if defined(__linux__)
// The full result of a board, as a normal run writes it.
std::string normal_result(const std::string& board_text)
{
    TempDir dir;
    write_file(dir / kBoardFileName, board_text);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 0);
    return read_file(dir / kResultFileName);
}

// A file system too small for the result: the result is refused, and the file system never
// fills on the way, whether it can allocate up front or not, and whether the result's size was
// counted or the count did not fit in memory (the writer then keeps half the room free).
struct TooSmall {
    const char* name;
    SmallFileSystem::Kind kind;
    std::uint64_t bytes;
};

void PrintTo(const TooSmall& row, std::ostream* out)
{
    *out << row.name;
}

class FileSystemTooSmall : public testing::TestWithParam<TooSmall> { };

TEST_P(FileSystemTooSmall, RefusesTheResultWithoutFillingIt)
{
    const TooSmall& row = GetParam();
    const std::string full = normal_result(kTensOfMegabytesBoard);
    TempDir dir;
    const SmallFileSystem small(dir.path(), row.bytes, row.kind);
    if (!small.mounted()) GTEST_SKIP() << small.why_not();
    write_file(dir / kBoardFileName, kTensOfMegabytesBoard);
    const std::uint64_t free_at_start = small.free_bytes();
    std::atomic<std::uint64_t> least_free = free_at_start;
    std::atomic<bool> done = false;
    std::thread watch([&] {
        while (!done) least_free = std::min<std::uint64_t>(least_free, small.free_bytes());
    });
    const ProgramRun outcome = run_program(RUNEL_PROGRAM, dir.path());
    done = true;
    watch.join();
    expect_failed_cleanly(outcome, dir);
    // Half for the result, and a little for the file system's own blocks.
    EXPECT_GE(least_free, free_at_start * 7 / 16) << "the file system nearly filled";
    EXPECT_EQ(outcome.errors,
        "Runel_out.txt: the result needs " + std::to_string(full.size())
            + " bytes; no room for it on this file system\n");
}

INSTANTIATE_TEST_SUITE_P(Files, FileSystemTooSmall,
    testing::Values(TooSmall { "Tmpfs", SmallFileSystem::Kind::tmpfs, 4 << 20 },
        TooSmall { "Ext2WithoutAllocation", SmallFileSystem::Kind::ext2, 8 << 20 }),
    [](const auto& info) { return info.param.name; });

// A memory limit around the runs: on the cgroup that holds them or on a parent, shared by
// several runs at once, lowered while they count, and on a file system kept in memory, whose
// blocks are charged to the limit as they are allocated. Each run writes its result or refuses
// it with a message, and leaves nothing; none is killed for want of memory.
struct MemoryLimit {
    const char* name;
    std::uint64_t cgroup_bytes; // the limit, on the cgroup around the runs' own
    SmallFileSystem::Kind kind; // where the results go
    std::uint64_t file_system_bytes;
    const std::string* board;
    // Refused before the count ended: with a bound of what the result needs, past the room.
    enum { written, refused_counted, refused_with_a_bound, out_of_memory } outcome;
    std::uint64_t result_bytes = 0; // the result's size, where known
    int runs = 1; // at once, each in a folder of its own
    std::uint64_t lowered_to = 0; // the limit, lowered to this while the runs count
};

void PrintTo(const MemoryLimit& row, std::ostream* out)
{
    *out << row.name;
}

constexpr std::uint64_t kMegabyte = std::uint64_t { 1 } << 20;

// Lowers the limit of `cgroup` to `lowest` while `running`, once the runs hold most of that of
// their own (or 300 ms have passed), as far as the system lets it at each step: v1 refuses a limit
// below what the cgroup holds, so each step leaves the runs a few megabytes beyond what they hold,
// and they must give memory back for the next. True once the limit is `lowest`.
bool lower_limit(const MemoryCgroup& cgroup, std::uint64_t lowest, const std::atomic<bool>& running)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (running && cgroup.anonymous() < lowest / 4 * 3
        && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (running && cgroup.limit() != lowest) {
        // Below the file pages, which the kernel drops to meet it, else just above all it holds.
        if (!cgroup.set_limit(std::max(lowest, cgroup.anonymous() + 8 * kMegabyte)))
            cgroup.set_limit(std::max(lowest, cgroup.usage() + 8 * kMegabyte));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cgroup.limit() == lowest;
}

// The bound and the room of a message that says the count stopped, or nullopt.
std::optional<std::pair<std::uint64_t, std::uint64_t>> bound_and_room(const std::string& errors)
{
    const std::string before = "Runel_out.txt: the result needs more than ";
    const std::string between = " bytes (the count stopped there); this file system has ";
    const std::string after = " bytes free\n";
    const std::size_t bound_at = before.size();
    const std::size_t bound_end = errors.find(between, bound_at);
    if (!errors.starts_with(before) || bound_end == std::string::npos || !errors.ends_with(after))
        return std::nullopt;
    const std::size_t room_at = bound_end + between.size();
    const std::string bound = errors.substr(bound_at, bound_end - bound_at);
    const std::string room = errors.substr(room_at, errors.size() - after.size() - room_at);
    const auto digits = [](const std::string& text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(bound) || !digits(room)) return std::nullopt;
    return std::pair { std::stoull(bound), std::stoull(room) };
}

// Folders run1, run2... in `dir`, each holding `board`.
std::vector<fs::path> folders_with(const TempDir& dir, int count, const std::string& board)
{
    std::vector<fs::path> folders;
    for (int i = 1; i <= count; ++i) {
        folders.push_back(dir / ("run" + std::to_string(i)));
        fs::create_directory(folders.back());
        write_file(folders.back() / kBoardFileName, board);
    }
    return folders;
}

// Runs the program in each of `folders` at once, and `meanwhile` on this thread until they end.
std::vector<ProgramRun> run_at_once(const std::vector<fs::path>& folders,
    const ProgramLimits& limits, const std::function<void(const std::atomic<bool>&)>& meanwhile)
{
    std::vector<ProgramRun> runs(folders.size());
    std::atomic<bool> running = true;
    std::atomic<std::size_t> ended = 0;
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < folders.size(); ++i)
        threads.emplace_back([&, i] {
            runs[i] = run_program(RUNEL_PROGRAM, folders[i], {}, limits);
            if (++ended == folders.size()) running = false;
        });
    meanwhile(running);
    for (std::thread& thread : threads) thread.join();
    return runs;
}

// The checks that take a minute or more between them run only where asked.
bool heavy_checks_asked()
{
    return std::getenv("RUNEL_TEST_HEAVY") != nullptr;
}
const char* const kHeavyOnly = "a long check, run by .ci/run: RUNEL_TEST_HEAVY=1 ctest -R Heavy";

class UnderAMemoryLimit : public testing::TestWithParam<MemoryLimit> { };

TEST_P(UnderAMemoryLimit, WritesTheResultOrRefusesItNeverKilled)
{
#if !defined(RUNEL_LINUX_FILES)
    GTEST_SKIP()
        << "the plain POSIX calls, built for systems without cgroups, read no memory limit "
           "but the process's own and cannot tell a file system in memory";
#endif
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine do not fit a memory limit";
#endif
    const MemoryLimit& row = GetParam();
    if (std::string(row.name).starts_with("Heavy") && !heavy_checks_asked())
        GTEST_SKIP() << kHeavyOnly;
    const std::string full = row.outcome == MemoryLimit::written ? normal_result(*row.board) : "";
    TempDir dir;
    const MemoryCgroup cgroup(row.cgroup_bytes);
    if (!cgroup.made()) GTEST_SKIP() << cgroup.why_not();
    const SmallFileSystem small(dir.path(), row.file_system_bytes, row.kind);
    if (!small.mounted()) GTEST_SKIP() << small.why_not();
    const std::vector<fs::path> folders = folders_with(dir, row.runs, *row.board);
    const std::uint64_t room = small.free_bytes();
    ProgramLimits limits;
    limits.cgroup_procs = cgroup.procs_file();
    bool lowered = true;
    const std::vector<ProgramRun> runs = run_at_once(folders, limits, [&](const auto& running) {
        if (row.lowered_to > 0) lowered = lower_limit(cgroup, row.lowered_to, running);
    });
    EXPECT_TRUE(lowered) << "the runs ended before the limit came down";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const ProgramRun& run = runs[i];
        SCOPED_TRACE("run " + std::to_string(i + 1));
        EXPECT_EQ(run.signal, 0) << "killed";
        if (row.outcome == MemoryLimit::written) {
            EXPECT_EQ(run.exit_status, 0) << run.errors;
            EXPECT_TRUE(read_file(folders[i] / kResultFileName) == full);
            continue;
        }
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(TempDir::entries_of(folders[i]), std::vector<std::string> { kBoardFileName });
        if (row.outcome == MemoryLimit::out_of_memory) {
            EXPECT_EQ(run.errors, "Runel_out.txt: cannot write the result: out of memory\n");
            continue;
        }
        if (row.outcome == MemoryLimit::refused_counted) {
            EXPECT_EQ(run.errors,
                "Runel_out.txt: the result needs " + std::to_string(row.result_bytes)
                    + " bytes; no room for it on this file system\n");
            continue;
        }
        // A bound the result certainly passes, and the room does not hold: the room the run
        // sees is the file system's, or less where the memory limit caps a tmpfs.
        const auto said = bound_and_room(run.errors);
        if (!said) {
            ADD_FAILURE() << "not a refusal with a bound: " << run.errors;
            continue;
        }
        const auto [bound, room_seen] = *said;
        EXPECT_LE(room_seen, room);
        EXPECT_GT(bound, room_seen);
        EXPECT_GE(bound, std::uint64_t { 64 } << 20);
        if (row.result_bytes > 0) {
            EXPECT_LT(bound, row.result_bytes);
        }
    }
}

using Kind = SmallFileSystem::Kind;
const MemoryLimit kMemoryLimits[] = {
    // The huge board's count outgrows the parent's limit: the run stops it and refuses the
    // result, on a small tmpfs so that it stops soon.
    { "ParentCgroupOf200MbHugeBoard", 200 * kMegabyte, Kind::tmpfs, 32 * kMegabyte,
        &kHundredsOfGigabytesBoard, MemoryLimit::refused_with_a_bound },
    // The 210 MB result does not fit in what the cgroup has left; its count ends at once.
    { "TmpfsIn150MbCgroup210MbResult", 150 * kMegabyte, Kind::tmpfs, 512 * kMegabyte,
        &kTwoHundredMegabyteBoard, MemoryLimit::refused_counted, 219350337 },
    { "TmpfsIn150MbCgroup37MbResultFits", 150 * kMegabyte, Kind::tmpfs, 512 * kMegabyte,
        &kTensOfMegabytesBoard, MemoryLimit::written },
    { "RamfsWithoutASizeOfItsOwn", 150 * kMegabyte, Kind::ramfs, 0, &kSeveralMegabyteBoard,
        MemoryLimit::written },
    // Runs sharing a limit each grow into a share of what is left, and give back what another
    // takes. A file system of 1 GB, so that the counts go on long enough to outgrow the limit.
    { "ThreeHugeBoardsShare256Mb", 256 * kMegabyte, Kind::ext2, 1024 * kMegabyte,
        &kHundredsOfGigabytesBoard, MemoryLimit::refused_with_a_bound, 0, 3 },
    // On a tmpfs, whose blocks are not file pages the kernel could drop to make room: only the
    // memo's giving back lets the limit come down.
    { "LimitLoweredFrom1024To100MbWhileCounting", 1024 * kMegabyte, Kind::tmpfs, 4096 * kMegabyte,
        &kHundredsOfGigabytesBoard, MemoryLimit::refused_with_a_bound, 0, 1, 100 * kMegabyte },
    // Too little for the memo, and for the writer's usual buffers, which shrink. A small file
    // system, as the count goes to a few times its room without a memo.
    { "HugeBoardIn8Mb", 8 * kMegabyte, Kind::ext2, 64 * kMegabyte, &kHundredsOfGigabytesBoard,
        MemoryLimit::refused_with_a_bound },
    // Too little for the run itself: it says so rather than be killed on the way.
    { "OutOfMemoryIn3MbForAHeavyBoard", 3 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kTwoHundredMegabyteBoard, MemoryLimit::out_of_memory },
    { "HeavyTwoHugeBoardsShare128Mb", 128 * kMegabyte, Kind::ext2, 4096 * kMegabyte,
        &kHundredsOfGigabytesBoard, MemoryLimit::refused_with_a_bound, 0, 2 },
    { "HeavyThreeHeavyBoardsShare256Mb", 256 * kMegabyte, Kind::ext2, 1024 * kMegabyte,
        &kTwoHundredMegabyteBoard, MemoryLimit::written, 0, 3 },
    { "HeavyHeavyBoardLimitLoweredTo100Mb", 1024 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kTwoHundredMegabyteBoard, MemoryLimit::written, 0, 1, 100 * kMegabyte },
    { "HeavyHugeBoardIn16Mb", 16 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kHundredsOfGigabytesBoard, MemoryLimit::refused_with_a_bound },
    { "HeavyHugeBoardIn32Mb", 32 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kHundredsOfGigabytesBoard, MemoryLimit::refused_with_a_bound },
    { "HeavyHugeBoardIn64Mb", 64 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kHundredsOfGigabytesBoard, MemoryLimit::refused_with_a_bound },
    { "HeavyHeavyBoardIn8Mb", 8 * kMegabyte, Kind::ext2, 512 * kMegabyte, &kTwoHundredMegabyteBoard,
        MemoryLimit::written },
    { "HeavyHeavyBoardIn16Mb", 16 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kTwoHundredMegabyteBoard, MemoryLimit::written },
    { "HeavyHeavyBoardIn32Mb", 32 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kTwoHundredMegabyteBoard, MemoryLimit::written },
    { "HeavyHeavyBoardIn64Mb", 64 * kMegabyte, Kind::ext2, 512 * kMegabyte,
        &kTwoHundredMegabyteBoard, MemoryLimit::written },
};

INSTANTIATE_TEST_SUITE_P(Memory, UnderAMemoryLimit, testing::ValuesIn(kMemoryLimits),
    [](const auto& info) { return info.param.name; });

// Twenty runs at once in one folder of a small file system, each of a result no disk holds:
// before its size is known each writes only a small share of the room, so that together they
// leave most of it free to other writers, and each is refused and takes its part back.
class TwentyRunsRefused : public testing::TestWithParam<TooSmall> { };

TEST_P(TwentyRunsRefused, LeaveThreeQuartersOfTheRoomFree)
{
    if (!heavy_checks_asked()) GTEST_SKIP() << kHeavyOnly;
    const TooSmall& row = GetParam();
    TempDir dir;
    const SmallFileSystem small(dir.path(), row.bytes, row.kind);
    if (!small.mounted()) GTEST_SKIP() << small.why_not();
    const std::vector<fs::path> folders = folders_with(dir, 20, kHundredsOfGigabytesBoard);
    const std::uint64_t free_at_start = small.free_bytes();
    std::uint64_t least_free = free_at_start;
    const std::vector<ProgramRun> runs = run_at_once(folders, {}, [&](const auto& running) {
        for (; running; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            least_free = std::min(least_free, small.free_bytes());
    });
    EXPECT_GE(least_free, free_at_start / 4 * 3);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].exit_status, 1) << runs[i].errors;
        EXPECT_TRUE(bound_and_room(runs[i].errors)) << runs[i].errors;
        EXPECT_EQ(TempDir::entries_of(folders[i]), std::vector<std::string> { kBoardFileName });
    }
}

INSTANTIATE_TEST_SUITE_P(Heavy, TwentyRunsRefused,
    testing::Values(TooSmall { "Tmpfs256Mb", SmallFileSystem::Kind::tmpfs, 256 << 20 },
        TooSmall { "Ext2Of256Mb", SmallFileSystem::Kind::ext2, 256 << 20 }),
    [](const auto& info) { return info.param.name; });
#else
TEST(RunFaults, FileSystemTooSmall)
{
    GTEST_SKIP() << "needs a small file system mounted by the test, which only Linux offers; the "
                    "reservation is checked against the free space in result_file_test.cpp";
}
#endif

TEST(RunFaults, InterruptedRunLeavesNoTemporaryFile)
{
    // Counting this board's result takes seconds, with the temporary file already created.
    TempDir dir;
    write_file(dir / kBoardFileName, kHundredsOfGigabytesBoard);
    ProgramLimits limits;
    limits.terminate_after_ms = 300;
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path(), {}, limits);
    if (!run.undelivered.empty()) GTEST_SKIP() << run.undelivered;
#if defined(_WIN32)
    EXPECT_EQ(static_cast<unsigned>(run.exit_status), 0xC000013AU); // STATUS_CONTROL_C_EXIT
#else
    EXPECT_EQ(run.signal, SIGTERM);
#endif
    EXPECT_EQ(dir.entries(), kNothingButTheBoard);
}

TEST(RunFaults, DirectoryWhereTheBoardFileShouldBe)
{
    TempDir dir;
    fs::create_directory(dir / kBoardFileName);
    write_file(dir / kResultFileName, "stale\n");
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    expect_failed_cleanly(run, dir);
    EXPECT_EQ(run.errors, kBoardFolderMessage + kRemoved);
}

TEST(RunFaults, NulBytesAreCharactersLikeAnyOther)
{
    TempDir dir;
    std::string text = board_file_text(position("La1 bc1 Be5"));
    text.insert(text.find("\n2") + 10, std::string(3, '\0')); // after the ninth character
    write_file(dir / kBoardFileName, text);
    ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName), result_lines({ "a1:e1:e6:e8" }));

    text.insert(text.find("\n3") + 3, std::string(1, '\0')); // inside rank 3: it drops out
    write_file(dir / kBoardFileName, text);
    run = run_program(RUNEL_PROGRAM, dir.path());
    expect_failed_cleanly(run, dir);
    EXPECT_EQ(run.errors,
        "Runel_in.txt:7:3: byte 0x00 is not a square symbol (+ * b B l L): expected 8 squares, "
        "found 7"
            + kRemoved);
}

TEST(RunFaults, TenMegabyteLinesAreReadPastWithoutHarm)
{
    TempDir dir;
    const std::string huge(10 << 20, 'b');
    std::string text = board_file_text(position("La1 bc1 Be5"));
    text.insert(text.find('\n'), huge); // the header
    text.insert(text.find("\n5") + 10, huge); // rank 5, after its ninth character
    write_file(dir / kBoardFileName, text);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(read_file(dir / kResultFileName), result_lines({ "a1:e1:e6:e8" }));
}

#if !defined(_WIN32)
// A board file with no end: a link to /dev/zero, or a pipe whose writer never stops, with or
// without some lines first. Read for ever, it would hold the run at full speed and never say why.
struct EndlessBoard {
    const char* name;
    bool dev_zero; // else a pipe
    std::string lines_first; // what the pipe holds before its endless line
    int endless_line;
};

void PrintTo(const EndlessBoard& row, std::ostream* out)
{
    *out << row.name;
}

class EndlessBoardFile : public testing::TestWithParam<EndlessBoard> { };

// Feeds `fifo` with `lines_first`, then bytes without a line end, until its reader goes.
std::thread feed_endlessly(const fs::path& fifo, std::string lines_first)
{
    return std::thread([fifo, lines_first = std::move(lines_first)] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return;
        const std::string endless(64 << 10, '+');
        bool open = ::write(fd, lines_first.data(), lines_first.size()) >= 0;
        while (open) open = ::write(fd, endless.data(), endless.size()) > 0;
        ::close(fd);
    });
}

TEST_P(EndlessBoardFile, IsRefusedAtOnceWithItsLine)
{
    const EndlessBoard& row = GetParam();
    TempDir dir;
    write_file(dir / kResultFileName, "stale\n");
    std::thread writer;
    if (row.dev_zero) {
        fs::create_symlink("/dev/zero", dir / kBoardFileName);
    } else {
        ASSERT_EQ(::mkfifo((dir / kBoardFileName).c_str(), 0600), 0) << std::strerror(errno);
        ::signal(SIGPIPE, SIG_IGN); // the writer learns of the reader's end from its write
        writer = feed_endlessly(dir / kBoardFileName, row.lines_first);
    }
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    if (writer.joinable()) {
        // A reader that never came still lets the writer's opening through, and then end.
        ::close(::open((dir / kBoardFileName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        writer.join();
    }
    expect_failed_cleanly(run, dir);
    EXPECT_EQ(run.errors,
        "Runel_in.txt:" + std::to_string(row.endless_line) + ": expected a line end within "
            + std::to_string(kLongestBoardFileLine) + " bytes" + kRemoved);
}

INSTANTIATE_TEST_SUITE_P(Streams, EndlessBoardFile,
    testing::Values(EndlessBoard { "RunelInIsDevZero", true, "", 1 },
        EndlessBoard { "PipeWithoutLineEnds", false, "", 1 },
        EndlessBoard { "PipeEndlessAfterThreeLines", false, "header\n1++++++++\n2++++++++\n", 4 }),
    [](const auto& info) { return info.param.name; });
#else
TEST(RunFaults, EndlessBoardFile)
{
    GTEST_SKIP() << "Windows has no /dev/zero to link to, and its pipes are not made in a folder";
}
#endif

TEST(RunFaults, FourGigabyteSparseBoardFileWithoutALineEnd)
{
#if defined(_WIN32)
    GTEST_SKIP() << "NTFS writes out the zeros of a file made longer unless it is marked sparse";
#else
    // A file, unlike a stream, ends: however long its one line, it is read to its end and judged
    // as any file is.
    TempDir dir;
    lay_out(dir, "");
    fs::resize_file(dir / kBoardFileName, std::uint64_t { 4 } << 30);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    expect_failed_cleanly(run, dir);
    EXPECT_EQ(
        run.errors, "Runel_in.txt: expected 8 board lines after the header, found 0" + kRemoved);
#endif
}

TEST(RunFaults, FiftyMegabytesOfRandomBytesAreNotABoard)
{
    TempDir dir;
    std::mt19937_64 random(20261207);
    std::string bytes(50 << 20, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    lay_out(dir, bytes);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    expect_failed_cleanly(run, dir);
    // Which line fails first depends on the bytes; that one does is certain.
    const std::string prefix = "Runel_in.txt:";
    const std::string::size_type colon = run.errors.find(':', prefix.size());
    ASSERT_EQ(run.errors.compare(0, prefix.size(), prefix), 0) << run.errors;
    ASSERT_NE(colon, std::string::npos) << run.errors;
    const std::string line = run.errors.substr(prefix.size(), colon - prefix.size());
    EXPECT_EQ(line.find_first_not_of("0123456789"), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find("expected 8 squares, found ", colon), std::string::npos)
        << run.errors;
}

} // namespace
