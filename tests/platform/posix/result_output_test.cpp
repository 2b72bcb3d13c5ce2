// Where the result goes: as opening Runel_out.txt for writing would reach it (links, pipes,
// devices, protected and shared files), and nothing left behind however the run ends. Each row
// lays out a folder, runs the built program there, and checks what must hold after.

#include "big_boards.h"
#include "fifo_reader.h"
#include "program.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <optional>
#include <random>
#if defined(__linux__)
#include "small_file_system.h"
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/xattr.h>
#endif
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

std::string example_board()
{
    return read_file(fs::path(RUNEL_EXAMPLES) / kBoardFileName);
}

// The result a plain run writes for `board`; empty for a board that is not one.
std::string result_of(const std::string& board)
{
    static std::map<std::string, std::string> known;
    if (const auto it = known.find(board); it != known.end()) return it->second;
    TempDir dir;
    write_file(dir / kBoardFileName, board);
    const bool written = run_program(RUNEL_PROGRAM, dir.path()).exit_status == 0;
    return known[board] = written ? read_file(dir / kResultFileName) : "";
}

struct Launch {
    bool as_nobody = false; // as an unprivileged user, so that permissions hold even for root
    enum class Stdout { file, pipe, named_file } stdout_to = Stdout::file;
    std::optional<rlim_t> address_space = {}; // RLIMIT_AS
    std::optional<rlim_t> open_files = {}; // RLIMIT_NOFILE
    std::optional<rlim_t> file_size = {}; // RLIMIT_FSIZE
    std::optional<mode_t> umask = {};
    const char* failing_call = nullptr; // made to fail, as tests/support/failing_calls.cpp says
    int signal = 0; // sent to the run after signal_after_ms
    int signal_after_ms = 0;
};

struct Outcome {
    int status = -1;
    int signal = 0;
    std::string errors;
    std::string stdout_bytes;
};

mode_t mode_of(const fs::path& path)
{
    struct stat info { };
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

// The program as the unprivileged user can reach it: a root-only folder (a clone in /root, say)
// would keep it from starting.
const char* program_for(const Launch& how)
{
    if (!how.as_nobody || ::geteuid() != 0) return RUNEL_PROGRAM;
    static TempDir copy;
    static const std::string path = (copy / "runel").string();
    if (!fs::exists(path)) {
        fs::copy_file(RUNEL_PROGRAM, path);
        fs::permissions(copy.path(), fs::perms(0755));
        fs::permissions(path, fs::perms(0755));
    }
    return path.c_str();
}

// Runs the program in `dir`. Standard output is a file outside it, a pipe read to its end, or
// the file out.txt in it.
Outcome launch(const TempDir& dir, const Launch& how, int kill_signal = 0, int kill_after_us = 0)
{
    TempDir streams;
    ::chmod(streams.path().c_str(), 0777);
    const fs::path err_path = streams / "stderr";
    const fs::path out_path
        = how.stdout_to == Launch::Stdout::named_file ? dir / "out.txt" : streams / "stdout";
    // Opened here, so that a signal that lands before the program starts still finds them.
    int pipe_ends[2] = { -1, -1 };
    if (how.stdout_to == Launch::Stdout::pipe && ::pipe(pipe_ends) != 0)
        throw std::runtime_error("pipe");
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int out = how.stdout_to == Launch::Stdout::pipe
        ? pipe_ends[1]
        : ::open(out_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (err < 0 || out < 0) throw std::runtime_error("cannot open the program's streams");
    const char* program = program_for(how);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::dup2(err, 2) < 0 || ::dup2(out, 1) < 0) ::_exit(125);
        if (pipe_ends[0] >= 0) ::close(pipe_ends[0]);
        if (::chdir(dir.path().c_str()) != 0) ::_exit(125);
        if (how.as_nobody && ::geteuid() == 0
            && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(125);
        if (how.umask) ::umask(*how.umask);
        if (how.open_files) {
            // What the test runner left open would count against the limit.
            for (int fd = 3; fd < 1024; ++fd) ::close(fd);
            const rlimit files { *how.open_files, *how.open_files };
            if (::setrlimit(RLIMIT_NOFILE, &files) != 0) ::_exit(125);
        }
        if (how.address_space) {
            const rlimit limit { *how.address_space, *how.address_space };
            if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(125);
        }
        if (how.file_size) {
            const rlimit limit { *how.file_size, *how.file_size };
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(125);
        }
#if defined(RUNEL_FAILING_CALLS)
        if (how.failing_call != nullptr
            && (::setenv("LD_PRELOAD", RUNEL_FAILING_CALLS, 1) != 0
                || ::setenv("RUNEL_FAIL", how.failing_call, 1) != 0))
            ::_exit(125);
#endif
        ::execl(program, program, nullptr);
        ::_exit(127);
    }
    ::close(err);
    // The file standard output went to, as the run left it (what is at its name may differ).
    const int held_out = how.stdout_to == Launch::Stdout::named_file ? out : -1;
    if (held_out < 0) ::close(out);
    Outcome outcome;
    if (pipe_ends[0] >= 0) {
        char chunk[65536];
        ssize_t got = 0;
        while ((got = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0)
            outcome.stdout_bytes.append(chunk, static_cast<std::size_t>(got));
        ::close(pipe_ends[0]);
    }
    if (kill_signal != 0) {
        ::usleep(static_cast<useconds_t>(kill_after_us));
        ::kill(child, kill_signal);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) { }
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    outcome.errors = read_file(err_path);
    if (how.stdout_to == Launch::Stdout::file) outcome.stdout_bytes = read_file(out_path);
    if (held_out >= 0) {
        char chunk[65536];
        ssize_t got = 0;
        for (off_t at = 0; (got = ::pread(held_out, chunk, sizeof chunk, at)) > 0; at += got)
            outcome.stdout_bytes.append(chunk, static_cast<std::size_t>(got));
        ::close(held_out);
    }
    return outcome;
}

// A file that only its owner, the unprivileged user, may change.
void own_by_nobody(const fs::path& path)
{
    if (::geteuid() == 0) {
        ASSERT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0) << path;
    }
}

// An opening refused by the file, beside nothing that is a result, or beside an earlier result.
const std::string kDenied = "Runel_out.txt: cannot write the result: Permission denied (refused "
                            "by the file)";
const std::string kDeniedKept = kDenied + "; the earlier result is kept\n";

struct Row {
    const char* name;
    std::string board;
    Launch how;
    std::function<void(const TempDir&)> set_up;
    std::function<void(const TempDir&, const Outcome&, const std::string& result)> check;
    // Settings of /proc/sys/fs the row runs under: the kernel's protections in shared folders.
    std::vector<std::pair<std::string, std::string>> protections = {};
};

void succeeded(const Outcome& outcome)
{
    EXPECT_EQ(outcome.status, 0) << outcome.errors;
    EXPECT_EQ(outcome.errors, "");
}

// A FIFO's reader, on a thread of the test: reads everything, or `keep` bytes and then goes.
std::unique_ptr<FifoReader> fifo_reader;

// The check of a row whose Runel_out.txt is a link: it stays one, and `target` gets the result.
std::function<void(const TempDir&, const Outcome&, const std::string&)> written_through_link(
    const char* target)
{
    return [target](const TempDir& dir, const Outcome& outcome, const std::string& result) {
        succeeded(outcome);
        EXPECT_TRUE(fs::is_symlink(dir / kResultFileName));
        EXPECT_EQ(read_file(dir / target), result);
    };
}

// An earlier result that its owner, the unprivileged user, made read-only.
void lay_out_protected_result(const TempDir& dir)
{
    write_file(dir / kResultFileName, "old\n");
    own_by_nobody(dir / kResultFileName);
    fs::permissions(dir / kResultFileName, fs::perms(0444));
}

#if defined(__linux__)
// Rows that need root to lay out (another user's files, mounts, file flags) skip without it.
bool root_or_skip()
{
    if (::geteuid() == 0) return true;
    [] { GTEST_SKIP() << "needs root to lay out"; }();
    return false;
}

// A folder shared like /tmp, holding `kind` (a file or a FIFO) of the unprivileged user's at the
// result's name.
std::function<void(const TempDir&)> shared_folder_with(mode_t kind)
{
    return [kind](const TempDir& dir) {
        if (!root_or_skip()) return;
        const fs::path result = dir / kResultFileName;
        if (S_ISFIFO(kind)) {
            ASSERT_EQ(::mkfifo(result.c_str(), 0666), 0);
        } else {
            write_file(result, "old\n");
        }
        ::chmod(result.c_str(), 0666);
        own_by_nobody(result);
        ::chmod(dir.path().c_str(), 01777);
    };
}

// Reads or sets a file's flags (chattr's).
bool set_file_flags(const fs::path& path, long add, long remove)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    long flags = 0;
    const bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0
        && (flags = (flags | add) & ~remove, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) ::close(fd);
    return done;
}

std::string attribute_of(const fs::path& path, const char* name)
{
    std::string value(4096, '\0');
    const ssize_t size = ::getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(size < 0 ? 0 : static_cast<std::size_t>(size));
    return value;
}

// An ACL (as its extended attribute) that lets the unprivileged user read, beside the owner.
std::string acl_letting_nobody_read()
{
    std::string acl;
    const auto put = [&acl](std::uint32_t value, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i) acl += static_cast<char>(value >> (8 * i) & 0xff);
    };
    put(2, 4); // the format's version
    const std::uint32_t kNoId = 0xffffffff;
    for (const auto& [tag, permissions, id] : { std::tuple { 0x01U, 6U, kNoId }, // owner: rw
             std::tuple { 0x02U, 4U, kNobody }, std::tuple { 0x04U, 0U, kNoId }, // group
             std::tuple { 0x10U, 4U, kNoId }, std::tuple { 0x20U, 0U, kNoId } }) { // mask, others
        put(tag, 2);
        put(permissions, 2);
        put(id, 4);
    }
    return acl;
}

// Kept open across the run by the row that needs it: a lock, a bind mount's source.
int held_fd = -1;
#endif

// Where an earlier result of the user's own is replaced by a new file (Linux carries its
// attributes over); the plain POSIX calls write it in place.
#if defined(RUNEL_LINUX_FILES)
constexpr bool kWritesBeside = true;
#else
constexpr bool kWritesBeside = false;
#endif

// Runel_out.txt as a link to an earlier result in another folder.
void link_to_an_earlier_result_elsewhere(const TempDir& dir)
{
    fs::create_directory(dir / "elsewhere");
    write_file(dir / "elsewhere" / "result.txt", "old\n");
    fs::create_symlink("elsewhere/result.txt", dir / kResultFileName);
}

const Row kRows[] = {
    { "LinkIsFollowedAndStays", example_board(), {},
        [](const TempDir& dir) {
            fs::create_directory(dir / "results");
            write_file(dir / "results/today.txt", "old\n");
            fs::create_symlink("results/today.txt", dir / kResultFileName);
        },
        written_through_link("results/today.txt") },
    { "DanglingLinkCreatesItsTarget", example_board(), {},
        [](const TempDir& dir) {
            fs::create_directory(dir / "results");
            fs::create_symlink("results/new.txt", dir / kResultFileName);
        },
        written_through_link("results/new.txt") },
    { "ChainOfRelativeLinks", example_board(), {},
        [](const TempDir& dir) {
            fs::create_directory(dir / "a");
            fs::create_directory(dir / "b");
            fs::create_symlink("a/hop", dir / kResultFileName);
            fs::create_symlink("../b/final.txt", dir / "a/hop"); // relative to a/
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_TRUE(fs::is_symlink(dir / "a/hop"));
            EXPECT_EQ(read_file(dir / "b/final.txt"), result);
        } },
    { "DevStdoutIntoAPipe", example_board(), Launch { .stdout_to = Launch::Stdout::pipe },
        [](const TempDir& dir) { fs::create_symlink("/dev/stdout", dir / kResultFileName); },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(outcome.stdout_bytes, result);
            EXPECT_TRUE(fs::is_symlink(dir / kResultFileName));
            EXPECT_EQ(dir.entries().size(), 2U); // no file made beside
        } },
    { "DevStdoutIntoAFile", example_board(), Launch { .stdout_to = Launch::Stdout::named_file },
        [](const TempDir& dir) { fs::create_symlink("/dev/stdout", dir / kResultFileName); },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            // The very file the stream holds has it, not a new one put at its name.
            EXPECT_EQ(outcome.stdout_bytes, result);
            EXPECT_TRUE(fs::is_symlink(dir / kResultFileName));
        } },
    { "FifoWithAReader", example_board(), {},
        [](const TempDir& dir) {
            ASSERT_EQ(::mkfifo((dir / kResultFileName).c_str(), 0644), 0);
            fifo_reader = std::make_unique<FifoReader>(dir / kResultFileName, SIZE_MAX);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(fifo_reader->finish(), result);
            EXPECT_TRUE(S_ISFIFO(mode_of(dir / kResultFileName)));
        } },
    { "FifoWhoseReaderLeavesEarly", kSeveralMegabyteBoard, {},
        [](const TempDir& dir) {
            ASSERT_EQ(::mkfifo((dir / kResultFileName).c_str(), 0644), 0);
            fifo_reader = std::make_unique<FifoReader>(dir / kResultFileName, 1);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            fifo_reader->finish();
            EXPECT_EQ(outcome.signal, 0) << "died of SIGPIPE";
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.errors, "Runel_out.txt: cannot write the result: Broken pipe\n");
            EXPECT_TRUE(S_ISFIFO(mode_of(dir / kResultFileName)));
        } },
    { "ReadOnlyResultIsRefusedAndKept", example_board(), Launch { .as_nobody = true },
        lay_out_protected_result,
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.errors, kDeniedKept);
            EXPECT_EQ(read_file(dir / kResultFileName), "old\n");
            EXPECT_EQ(mode_of(dir / kResultFileName) & 07777, 0444U);
        } },
    { "PrivateResultStaysPrivate", example_board(), {},
        [](const TempDir& dir) {
            write_file(dir / kResultFileName, "old\n");
            fs::permissions(dir / kResultFileName, fs::perms(0600));
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(read_file(dir / kResultFileName), result);
            EXPECT_EQ(mode_of(dir / kResultFileName) & 07777, 0600U);
        } },
    { "EveryHardLinkShowsTheNewResult", example_board(), {},
        [](const TempDir& dir) {
            write_file(dir / kResultFileName, std::string(5000, 'x'));
            fs::create_hard_link(dir / kResultFileName, dir / "other.txt");
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(read_file(dir / "other.txt"), result);
            EXPECT_EQ(fs::hard_link_count(dir / kResultFileName), 2U);
        } },
    { "ReadOnlyFolderWithAWritableResult", example_board(), Launch { .as_nobody = true },
        [](const TempDir& dir) {
            write_file(dir / kResultFileName, std::string(5000, 'x'));
            own_by_nobody(dir / kResultFileName);
            fs::permissions(dir.path(), fs::perms(0555));
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(read_file(dir / kResultFileName), result);
        } },
    { "IllFormedBoardBesideAReadOnlyResult", "header\n+\n", Launch { .as_nobody = true },
        lay_out_protected_result,
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(read_file(dir / kResultFileName), "old\n");
        } },
    // Address space above what the program needs to start.
    { "OutOfMemoryIsSaid", kSeveralMegabyteBoard, Launch { .address_space = 1 << 20 }, nullptr,
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.errors, "Runel_out.txt: cannot write the result: out of memory\n");
            EXPECT_EQ(dir.entries(), std::vector<std::string> { kBoardFileName });
        } },
    // Where memory runs short (the board reader's buffer, the count, the writing), the run
    // says so or is done, never killed.
    { "AnyAddressSpaceLimitEndsInAResultOrOutOfMemory", kSeveralMegabyteBoard,
        Launch { .address_space = 9000 << 10 }, nullptr,
        [](const TempDir& dir, const Outcome&, const std::string& result) {
            // Below about 6 MB the C++ runtime may not even get the little memory it keeps
            // for throwing an exception, and ends the process itself.
            for (rlim_t kilobytes = 6000; kilobytes <= 9000; kilobytes += 250) {
                const Outcome run = launch(dir, Launch { .address_space = kilobytes << 10 });
                if (run.status == 127) continue; // the loader itself found too little
                const bool done = run.status == 0 && read_file(dir / kResultFileName) == result;
                EXPECT_TRUE(done
                    || (run.status == 1
                        && run.errors.starts_with(
                            "Runel_out.txt: cannot write the result: out of memory")
                        && dir.entries() == std::vector<std::string> { kBoardFileName }))
                    << kilobytes << " KB: status " << run.status << ", signal " << run.signal
                    << ", " << run.errors;
                fs::remove(dir / kResultFileName);
            }
        } },
    { "TightMemoryStillGivesTheResult", kSeveralMegabyteBoard, Launch { .address_space = 24 << 20 },
        nullptr,
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(read_file(dir / kResultFileName), result);
        } },
    // The run cannot list its folder, so it takes the file back by the name it made it under.
    { "UnreadableFolderRefusedResultTakesBackTheFileItsOpenMade", kSeveralMegabyteBoard,
        Launch { .as_nobody = true, .file_size = 1 << 20 },
        [](const TempDir& dir) {
            own_by_nobody(dir.path());
            fs::permissions(dir.path(), fs::perms(0300));
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.errors, "Runel_out.txt: cannot write the result: File too large\n");
            fs::permissions(dir.path(), fs::perms(0700));
            EXPECT_EQ(dir.entries(), std::vector<std::string> { kBoardFileName });
        } },
    // The count of this board takes seconds; the signal lands in it.
    { "DanglingLinkTargetMadeByTheOpenGoesWithASignal", kHundredsOfGigabytesBoard,
        Launch { .signal = SIGTERM, .signal_after_ms = 400 },
        [](const TempDir& dir) {
#if !defined(RUNEL_LINUX_FILES)
            GTEST_SKIP() << "the plain POSIX calls cannot tell where a link leads: a failed run "
                            "keeps the file it made through one, whatever ended it";
#endif
            fs::create_directory(dir / "results");
            fs::create_symlink("results/new.txt", dir / kResultFileName);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_TRUE(outcome.signal == SIGTERM || outcome.status == 1) << outcome.errors;
            EXPECT_TRUE(fs::is_symlink(dir / kResultFileName));
            EXPECT_TRUE(fs::is_empty(dir / "results")) << "the file the open made stays";
        } },
    // An earlier result is this run's to take back only at the name itself: the file a link
    // leads to, in another folder, outlives a failed run and a signalled one.
    { "LinkTargetElsewhereOutlivesAnIllFormedBoard", "header\n+\n", {},
        [](const TempDir& dir) { link_to_an_earlier_result_elsewhere(dir); },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(read_file(dir / "elsewhere" / "result.txt"), "old\n");
        } },
    { "LinkTargetElsewhereOutlivesAFailedWrite", kSeveralMegabyteBoard,
        Launch { .file_size = 1 << 20 },
        [](const TempDir& dir) {
            if (!kWritesBeside)
                GTEST_SKIP() << "the plain POSIX calls write an earlier result in place";
            link_to_an_earlier_result_elsewhere(dir);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(read_file(dir / "elsewhere" / "result.txt"), "old\n");
        } },
    { "LinkTargetElsewhereOutlivesASignal", kHundredsOfGigabytesBoard,
        Launch { .signal = SIGTERM, .signal_after_ms = 400 },
        [](const TempDir& dir) { link_to_an_earlier_result_elsewhere(dir); },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_TRUE(outcome.signal == SIGTERM || outcome.status == 1) << outcome.errors;
            EXPECT_EQ(read_file(dir / "elsewhere" / "result.txt"), "old\n");
        } },
#if defined(__linux__)
    { "BindMountedResult", example_board(), {},
        [](const TempDir& dir) {
            if (!root_or_skip()) return;
            fs::create_directory(dir / "volume");
            write_file(dir / "volume/data.txt", "old\n");
            write_file(dir / kResultFileName, "");
            mount_privately();
            if (::mount((dir / "volume/data.txt").c_str(), (dir / kResultFileName).c_str(), nullptr,
                    MS_BIND, nullptr)
                != 0)
                GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(read_file(dir / "volume/data.txt"), result);
            ::umount2((dir / kResultFileName).c_str(), MNT_DETACH);
        } },
    { "AppendOnlyFolder", example_board(), {},
        [](const TempDir& dir) {
            if (!root_or_skip()) return;
            write_file(dir / kResultFileName, "old\n");
#if !defined(RUNEL_LINUX_FILES)
            GTEST_SKIP() << "the plain POSIX calls cannot see a folder's flags on Linux";
#endif
            if (!set_file_flags(dir.path(), FS_APPEND_FL, 0))
                GTEST_SKIP() << "no append-only folders on this file system";
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            set_file_flags(dir.path(), 0, FS_APPEND_FL);
            succeeded(outcome);
            EXPECT_EQ(read_file(dir / kResultFileName), result);
            EXPECT_EQ(dir.entries().size(), 2U);
        } },
    { "AclAndExtendedAttributesKept", example_board(), {},
        [](const TempDir& dir) {
            const fs::path result = dir / kResultFileName;
            write_file(result, "old\n");
            const std::string acl = acl_letting_nobody_read();
            if (::setxattr(result.c_str(), "user.note", "kept", 4, 0) != 0
                || ::setxattr(result.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0)
                    != 0)
                GTEST_SKIP() << "no ACLs or user attributes here: " << std::strerror(errno);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            const fs::path path = dir / kResultFileName;
            EXPECT_EQ(read_file(path), result);
            EXPECT_EQ(attribute_of(path, "user.note"), "kept");
            EXPECT_EQ(attribute_of(path, "system.posix_acl_access"), acl_letting_nobody_read());
            EXPECT_EQ(mode_of(path) & 07777, 0640U) << "the ACL's mask, as before";
        } },
    { "NewResultTakesTheFolderDefaultAcl", example_board(), Launch { .umask = 077 },
        [](const TempDir& dir) {
            const std::string acl = acl_letting_nobody_read();
            if (::setxattr(
                    dir.path().c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0)
                != 0)
                GTEST_SKIP() << "no default ACLs here: " << std::strerror(errno);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            succeeded(outcome);
            // What the plain opening makes under the same umask is the oracle.
            const mode_t mask = ::umask(077);
            const int fd = ::open((dir / "plain.txt").c_str(), O_WRONLY | O_CREAT, 0666);
            ::umask(mask);
            ASSERT_GE(fd, 0);
            ::close(fd);
            EXPECT_EQ(mode_of(dir / kResultFileName), mode_of(dir / "plain.txt"));
            EXPECT_EQ(attribute_of(dir / kResultFileName, "system.posix_acl_access"),
                attribute_of(dir / "plain.txt", "system.posix_acl_access"));
        } },
    { "LeftoversOfDeadRunsAreRemovedNotThoseOfLiveOnes", example_board(), {},
        [](const TempDir& dir) {
            write_file(dir / "Runel_out.txt.runel-deadab", "a killed run's result");
            write_file(dir / "Runel_out.txt.runel-liveab", "a running run's result");
            write_file(dir / "Runel_out.txt.other", "not ours");
            held_fd = ::open((dir / "Runel_out.txt.runel-liveab").c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(::flock(held_fd, LOCK_EX), 0);
        },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            ::close(held_fd);
            succeeded(outcome);
            EXPECT_EQ(dir.entries(),
                (std::vector<std::string> { kBoardFileName, kResultFileName, "Runel_out.txt.other",
                    "Runel_out.txt.runel-liveab" }));
        } },
    { "NoDescriptorForTheFolderIsSaid", example_board(), Launch { .open_files = 4 },
        [](const TempDir& dir) { write_file(dir / kResultFileName, "old\n"); },
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.errors,
                "Runel_out.txt: cannot write the result: Too many open files; the earlier "
                "result is kept\n");
            EXPECT_EQ(read_file(dir / kResultFileName), "old\n") << "never emptied on the way";
        } },
#endif
};

// Rows that set the kernel's protections in shared folders (fs.protected_*): settings of the
// whole machine, which every program on it sees change, so they run only when asked.
const Row kMachineSettingRows[] = {
#if defined(__linux__)
    { "ProtectedFifoOfAnotherUser", example_board(), {}, shared_folder_with(S_IFIFO),
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.errors, kDenied + "\n");
            EXPECT_TRUE(S_ISFIFO(mode_of(dir / kResultFileName)));
        },
        { { "protected_fifos", "1" } } },
    { "ProtectedFileOfAnotherUser", example_board(), {}, shared_folder_with(S_IFREG),
        [](const TempDir& dir, const Outcome& outcome, const std::string&) {
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.errors, kDeniedKept);
            EXPECT_EQ(read_file(dir / kResultFileName), "old\n");
        },
        { { "protected_regular", "1" } } },
    { "SharedFileOfAnotherUserWritableByAll", example_board(), {}, shared_folder_with(S_IFREG),
        [](const TempDir& dir, const Outcome& outcome, const std::string& result) {
            succeeded(outcome);
            EXPECT_EQ(read_file(dir / kResultFileName), result);
            struct stat info { };
            ASSERT_EQ(::stat((dir / kResultFileName).c_str(), &info), 0);
            EXPECT_EQ(info.st_uid, kNobody) << "written in place, still the other user's";
            EXPECT_EQ(dir.entries().size(), 2U);
        },
        { { "protected_regular", "0" } } },
#endif
};

// The least address space in which the program runs a board without captures, found by
// bisection, so that a memory limit can be set just above what the program needs to start.
rlim_t address_space_to_start()
{
    static rlim_t least = 0;
    if (least != 0) return least;
    rlim_t fails = 1 << 20;
    rlim_t runs = 1 << 30;
    TempDir dir;
    std::string no_king = "header\n";
    for (int rank = 0; rank < 8; ++rank) no_king += "++++++++\n";
    write_file(dir / kBoardFileName, no_king);
    while (runs - fails > (256 << 10)) {
        const rlim_t middle = fails + (runs - fails) / 2;
        Launch how;
        how.address_space = middle;
        (launch(dir, how).status == 0 ? runs : fails) = middle;
    }
    return least = runs;
}

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

// Settings of /proc/sys/fs for as long as it lives. They are the machine's: tests that set them
// (the MachineSettings suites) run only where the environment they run in has
// RUNEL_TEST_MACHINE_SETTINGS=1, and take turns (ctest runs several test programs at once)
// through a lock on the settings' folder, which is there anyway and leaves nothing behind.
class KernelProtections {
public:
    static bool allowed()
    {
        const char* allowed = std::getenv("RUNEL_TEST_MACHINE_SETTINGS");
        return allowed != nullptr && std::string(allowed) == "1";
    }
    static constexpr const char* kNotAllowed
        = "sets fs.protected_* for the whole machine; runs only when asked: "
          "RUNEL_TEST_MACHINE_SETTINGS=1 ctest -R ^MachineSettings";

    explicit KernelProtections(const std::vector<std::pair<std::string, std::string>>& settings)
        : lock_(::open("/proc/sys/fs", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        ::flock(lock_, LOCK_EX);
        for (const auto& [name, value] : settings) {
            const fs::path setting = fs::path("/proc/sys/fs") / name;
            before_.emplace_back(setting, read_file(setting));
            std::ofstream(setting) << value;
        }
    }
    ~KernelProtections()
    {
        for (const auto& [setting, value] : before_) std::ofstream(setting) << value;
        ::close(lock_);
    }
    KernelProtections(const KernelProtections&) = delete;
    KernelProtections& operator=(const KernelProtections&) = delete;

private:
    int lock_;
    std::vector<std::pair<fs::path, std::string>> before_;
};

class ResultOutput : public testing::TestWithParam<Row> { };

TEST_P(ResultOutput, BehavesAsOpeningTheNameWould)
{
    const Row& row = GetParam();
    if (!row.protections.empty() && !KernelProtections::allowed())
        GTEST_SKIP() << KernelProtections::kNotAllowed;
#if defined(__SANITIZE_ADDRESS__)
    if (row.how.address_space) GTEST_SKIP() << "AddressSanitizer maps terabytes of shadow memory";
    if (row.how.failing_call) GTEST_SKIP() << "AddressSanitizer's runtime must be loaded first";
    if (row.how.open_files) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
    Launch how = row.how;
    if (how.address_space) *how.address_space += address_space_to_start();
    // No disk holds that board's result: its rows check only what is left.
    const std::string result
        = row.board == kHundredsOfGigabytesBoard ? std::string() : result_of(row.board);
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    write_file(dir / kBoardFileName, row.board);
    fs::permissions(dir / kBoardFileName, fs::perms(0644));
    if (row.set_up) row.set_up(dir);
    if (testing::Test::IsSkipped() || testing::Test::HasFatalFailure()) {
        fs::permissions(dir.path(), fs::perms::owner_all, fs::perm_options::add);
        return;
    }
    std::optional<KernelProtections> protections;
    if (!row.protections.empty()) protections.emplace(row.protections);
    const Outcome outcome = launch(dir, how, how.signal, how.signal_after_ms * 1000);
    protections.reset();
    row.check(dir, outcome, result);
    fs::permissions(dir.path(), fs::perms::owner_all, fs::perm_options::add);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ResultOutput, testing::ValuesIn(kRows), [](const auto& info) { return info.param.name; });
#if defined(__linux__)
INSTANTIATE_TEST_SUITE_P(MachineSettings, ResultOutput, testing::ValuesIn(kMachineSettingRows),
    [](const auto& info) { return info.param.name; });
#endif

// However the run ends, no temporary file is left: where the system allows, the new file has no
// name until it is complete (so that not even SIGKILL leaves one), and every signal that can be
// handled removes it.
struct Signal {
    int number;
    const char* name;
};

void PrintTo(const Signal& signal, std::ostream* out)
{
    *out << "SIG" << signal.name;
}

class KilledRun : public testing::TestWithParam<Signal> { };

// Every other attempt finds an earlier result, which a signal leaves exactly as it was.
TEST_P(KilledRun, LeavesNoTemporaryFileAndTheEarlierResult)
{
    const int signal_number = GetParam().number;
    const std::string result = result_of(kSeveralMegabyteBoard);
    std::mt19937 random(static_cast<unsigned>(signal_number));
    for (int attempt = 0; attempt < 8; ++attempt) {
        TempDir dir;
        write_file(dir / kBoardFileName, kSeveralMegabyteBoard);
        // Where an earlier result is written in place (the plain POSIX calls carry no
        // attributes over), a signal leaves it part-written, as the plain opening would.
        const bool earlier = kWritesBeside && attempt % 2 == 1;
        if (earlier) write_file(dir / kResultFileName, "old\n");
        const Outcome outcome = launch(dir, {}, signal_number, static_cast<int>(random() % 40000));
        if (signal_number == SIGKILL) {
            // Nothing catches SIGKILL: a temporary file that had a name by then stays, and so
            // may the result file that opening it created. The next run removes the one, at
            // once, and replaces the other.
            succeeded(launch(dir, {}));
            EXPECT_EQ(
                dir.entries(), (std::vector<std::string> { kBoardFileName, kResultFileName }));
            EXPECT_EQ(read_file(dir / kResultFileName), result);
            continue;
        }
        if (outcome.signal != 0) {
            EXPECT_EQ(outcome.errors, "");
        }
        const std::vector<std::string> entries = dir.entries();
        if (entries.size() == 2) {
            const std::string left = read_file(dir / kResultFileName);
            EXPECT_TRUE(left == result || (earlier && outcome.status != 0 && left == "old\n"))
                << left.substr(0, 40);
        } else {
            EXPECT_FALSE(earlier) << "the earlier result went";
            EXPECT_EQ(entries, std::vector<std::string> { kBoardFileName });
        }
        if (outcome.status == 0) {
            EXPECT_EQ(entries.size(), 2U);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, KilledRun,
    testing::Values(Signal { SIGHUP, "HUP" }, Signal { SIGINT, "INT" }, Signal { SIGQUIT, "QUIT" },
        Signal { SIGTERM, "TERM" }, Signal { SIGUSR1, "USR1" }, Signal { SIGALRM, "ALRM" },
        Signal { SIGPIPE, "PIPE" }, Signal { SIGKILL, "KILL" }),
    [](const auto& info) { return info.param.name; });

// Where files cannot be made without a name (NFS, vfat), every run's temporary file has one
// from its start. Runs killed at random moments leave theirs, empty or part-written, and the
// next run tells them dead at once, however young, and removes them.
TEST(KilledRuns, WithoutUnnamedFilesLeaveNothingForTheNextRun)
{
    Launch how;
#if defined(RUNEL_LINUX_FILES) && !defined(__SANITIZE_ADDRESS__)
    how.failing_call = "unnamed";
#endif
    TempDir dir;
    write_file(dir / kBoardFileName, kSeveralMegabyteBoard);
    std::mt19937 random(12);
    for (int run = 0; run < 12; ++run)
        launch(dir, how, SIGKILL, static_cast<int>(random() % 30000));
    succeeded(launch(dir, how));
    EXPECT_EQ(dir.entries(), (std::vector<std::string> { kBoardFileName, kResultFileName }));
    EXPECT_EQ(read_file(dir / kResultFileName), result_of(kSeveralMegabyteBoard));
}

// Run A counts a board whose count takes seconds; run B, on another board, puts its complete
// result in place and ends; then A is stopped. A takes back only what is still its own: the
// file its open made has gone from the name, so B's result stays.
class SignalledRun : public testing::TestWithParam<Signal> { };

TEST_P(SignalledRun, LeavesTheResultAnotherRunPutInPlaceSince)
{
    TempDir dir;
    write_file(dir / kBoardFileName, kHundredsOfGigabytesBoard);
    Outcome counting;
    std::thread run_a([&] { counting = launch(dir, {}, GetParam().number, 1500 * 1000); });
    for (int wait = 0; wait < 1000 && !fs::exists(dir / kResultFileName); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    write_file(dir / kBoardFileName, example_board());
    const Outcome run_b = launch(dir, {});
    run_a.join();
    succeeded(run_b);
    EXPECT_TRUE(counting.signal == GetParam().number || counting.status == 1) << counting.errors;
    EXPECT_EQ(read_file(dir / kResultFileName), result_of(example_board()));
    EXPECT_EQ(dir.entries(), (std::vector<std::string> { kBoardFileName, kResultFileName }));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalledRun,
    testing::Values(Signal { SIGTERM, "TERM" }, Signal { SIGINT, "INT" }, Signal { SIGHUP, "HUP" }),
    [](const auto& info) { return info.param.name; });

#if defined(__linux__)
// The old result's blocks come free when it is replaced, so a file system that holds one result
// but not two takes the same board again and again.
TEST(ResultOutputRoom, SameBigBoardTwiceOnASmallFileSystem)
{
    // The old result's blocks come free when it is discarded, even while a reader holds it
    // open (as less or tail -f would): the second and third runs fit only in its room.
    const std::string result = result_of(kSeveralMegabyteBoard);
    TempDir dir;
    const SmallFileSystem small(dir.path(), result.size() * 3 / 2);
    if (!small.mounted()) GTEST_SKIP() << small.why_not();
    write_file(dir / kBoardFileName, kSeveralMegabyteBoard);
    for (int run = 1; run <= 3; ++run) {
        const int reader = run == 3 ? ::open((dir / kResultFileName).c_str(), O_RDONLY) : -1;
        const Outcome outcome = launch(dir, {});
        EXPECT_EQ(outcome.status, 0) << "run " << run << ": " << outcome.errors;
        EXPECT_EQ(read_file(dir / kResultFileName), result) << "run " << run;
        if (reader >= 0) ::close(reader);
    }
}

TEST(MachineSettingsRace, LinkPlantedByAnotherUserIsNeverFollowed)
{
    // A folder shared like /tmp, where the kernel refuses to follow another user's link; that
    // user plants Runel_out.txt as a link to a file of their choosing, again and again, while
    // root runs. The file the link names must never be made.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as two users";
    if (!KernelProtections::allowed()) GTEST_SKIP() << KernelProtections::kNotAllowed;
    const KernelProtections protections(
        std::vector<std::pair<std::string, std::string>> { { "protected_symlinks", "1" } });
    TempDir dir;
    ::chmod(dir.path().c_str(), 01777);
    write_file(dir / kBoardFileName, example_board());
    const fs::path chosen = dir / "chosen-by-the-other-user";
    const pid_t planter = ::fork();
    if (planter == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(125);
        for (;;) {
            ::symlink(chosen.c_str(), (dir / kResultFileName).c_str());
            ::unlink((dir / kResultFileName).c_str());
        }
    }
    int denied = 0;
    for (int run = 0; run < 1000 && !fs::exists(chosen); ++run) {
        const Outcome outcome = launch(dir, {});
        if (outcome.status != 0) {
            ++denied;
            EXPECT_EQ(outcome.errors, kDenied + "\n")
                << "status " << outcome.status << ", signal " << outcome.signal;
        }
        fs::remove(dir / kResultFileName); // root's own result would stop the planting
    }
    ::kill(planter, SIGKILL);
    ::waitpid(planter, nullptr, 0);
    EXPECT_FALSE(fs::exists(chosen)) << "root followed the other user's link";
    EXPECT_GT(denied, 0) << "the link was never in place when a run opened the result";
}
#endif

} // namespace
