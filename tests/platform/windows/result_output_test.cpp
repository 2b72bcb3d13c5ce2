// What only Windows has to show: text lines ended with CR LF, files protected by their
// read-only attribute, runs ended by TerminateProcess, which no program can catch, the system's
// words in UTF-8, and a result that fits only in the room of the one it replaces.

#include "big_boards.h"
#include "console.h"
#include "messages.h"
#include "positions.h"
#include "program.h"
#include "result_file.h"
#include "run.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <system_error>
#include <thread>

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

const std::string kDeniedByFile = "Runel_out.txt: cannot write the result: "
    + system_message({ ERROR_ACCESS_DENIED, std::system_category() }) + " (refused by the file)";

TEST_P(ReadOnlyResult, IsNeitherReplacedNorRemoved)
{
    TempDir dir;
    write_file(dir / kBoardFileName, GetParam().board_text);
    write_file(dir / kResultFileName, "kept\r\n");
    make_read_only(dir / kResultFileName);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.errors, GetParam().message + "; the earlier result is kept\n");
    EXPECT_EQ(read_file(dir / kResultFileName), "kept\r\n");
    EXPECT_EQ(
        fs::status(dir / kResultFileName).permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_EQ(dir.entries(), kBoardAndResult);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadOnlyResult,
    testing::Values(ProtectedCase { "Board", board_file_text(position("Ld6 bd4")), kDeniedByFile },
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

// Run A counts a board whose result no disk holds; run B, on another board, puts its complete
// result in place meanwhile. A fails, and takes back only what is still its own: B's result stays.
TEST(WindowsRun, FailedRunLeavesTheResultAnotherRunPutInPlaceSince)
{
    TempDir dir;
    write_file(dir / kBoardFileName, kHundredsOfGigabytesBoard);
    ProgramRun counting;
    std::thread run_a([&] { counting = run_program(RUNEL_PROGRAM, dir.path()); });
    // A's temporary file appears once it has read its board.
    for (int wait = 0; wait < 2000 && dir.entries().size() < 2; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    write_file(dir / kBoardFileName, board_file_text(position("Ld3 ld5 bd6")));
    const ProgramRun run_b = run_program(RUNEL_PROGRAM, dir.path());
    run_a.join();
    EXPECT_EQ(run_b.exit_status, 0) << run_b.errors;
    EXPECT_EQ(counting.exit_status, 1) << "A ended before B: the test shows nothing";
    EXPECT_EQ(read_file(dir / kResultFileName), "d3:d7\r\nd3:d8\r\n");
    EXPECT_EQ(dir.entries(), kBoardAndResult);
}

struct HeldCase {
    const char* name;
    int held_ms;
    int status;
    std::string result; // at the name after the run
    std::string errors;
    friend void PrintTo(const HeldCase& c, std::ostream* out) { *out << c.name; }
};

class HeldResult : public testing::TestWithParam<HeldCase> { };

// Another program (an editor, a viewer, a virus scanner) holds the earlier result open, sharing
// only reading, as Windows lets it, from before the run: a moment's hold is waited out, and a
// longer one fails the run with the earlier result as it was.
TEST_P(HeldResult, IsWaitedForAMomentThenKept)
{
    TempDir dir;
    write_file(dir / kBoardFileName, board_file_text(position("Ld3 ld5 bd6")));
    write_file(dir / kResultFileName, "earlier\r\n");
    const HANDLE reader = ::CreateFileW((dir / kResultFileName).c_str(), GENERIC_READ,
        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread let_go([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(GetParam().held_ms));
        ::CloseHandle(reader);
    });
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    let_go.join();
    EXPECT_EQ(run.exit_status, GetParam().status);
    EXPECT_EQ(run.errors, GetParam().errors);
    EXPECT_EQ(read_file(dir / kResultFileName), GetParam().result);
    EXPECT_EQ(dir.entries(), kBoardAndResult);
}

INSTANTIATE_TEST_SUITE_P(Readers, HeldResult,
    testing::Values(HeldCase { "ForAMoment", 1000, 0, "d3:d7\r\nd3:d8\r\n", "" },
        HeldCase { "PastTheWait", 4000, 1, "earlier\r\n",
            "Runel_out.txt: cannot write the result: "
                + system_message({ ERROR_SHARING_VIOLATION, std::system_category() })
                + "; the earlier result is kept\n" }),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WindowsResultOutput, DeviceTakesTheBytesInOrder)
{
    ResultFile result("NUL");
    ResultOutput* const output = &result.open();
    EXPECT_FALSE(output->random_access());
    output->reserve(std::uint64_t { 1 } << 50); // nothing to hold on a device
    output->write_at(0, "a1:a3\r\n", 7);
    output->write_at(7, "No", 2);
    EXPECT_THROW(output->write_at(0, "x", 1), std::system_error); // a device cannot go back
    output->commit();
}

// What follows runs out of room on purpose, which needs a small file system: Windows has none to
// make, but under Wine a test can start Linux's own mount (Wine runs a Unix program handed to
// CreateProcess, though it does not wait for it), as root.
class SmallFileSystem {
public:
    /// A tmpfs of `bytes` over the empty folder `folder` while it lives; mounted() false and
    /// why_not() say where it cannot be had.
    SmallFileSystem(const fs::path& folder, std::uint64_t bytes)
        : folder_(folder)
    {
        using UnixName = char*(CDECL*)(const wchar_t*);
        const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
        if (unix_name == nullptr) {
            why_not_ = "no small file system can be made on Windows itself (only under Wine)";
            return;
        }
        char* name = unix_name(folder.c_str());
        unix_folder_ = name;
        ::HeapFree(::GetProcessHeap(), 0, name);
        start_unix(L"/bin/mount -t tmpfs -o size=" + std::to_wstring(bytes) + L" tmpfs "
            + fs::path(unix_folder_).wstring());
        mounted_ = settles([&] {
            const std::uint64_t total = total_bytes(); // 0 where the folder cannot be asked
            return total > 0 && total < 2 * bytes;
        });
        if (!mounted_) why_not_ = "cannot mount a small tmpfs here (needs root and Linux's mount)";
    }
    ~SmallFileSystem()
    {
        if (!mounted_) return;
        const std::uint64_t small = total_bytes();
        start_unix(L"/bin/umount -l " + fs::path(unix_folder_).wstring());
        settles([&] { return total_bytes() != small; });
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why_not() const { return why_not_; }
    std::uint64_t total_bytes() const
    {
        ULARGE_INTEGER total {};
        ::GetDiskFreeSpaceExW(folder_.c_str(), nullptr, &total, nullptr);
        return total.QuadPart;
    }

private:
    fs::path folder_;
    std::string unix_folder_;
    bool mounted_ = false;
    std::string why_not_;

    static void start_unix(std::wstring command_line)
    {
        STARTUPINFOW startup {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child {};
        if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                nullptr, &startup, &child))
            return;
        ::CloseHandle(child.hThread);
        ::CloseHandle(child.hProcess);
    }

    // Whether `done` comes true within a few seconds: the Unix program ends on its own time.
    template <class Done> static bool settles(Done done)
    {
        for (int tries = 0; tries < 250; ++tries) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

// A temporary directory with a small file system of `bytes` over it.
struct SmallFolder {
    explicit SmallFolder(std::uint64_t bytes)
        : room(dir.path(), bytes)
    {
    }
    TempDir dir;
    SmallFileSystem room;
};

std::string normal_result(const std::string& board_text)
{
    TempDir dir;
    write_file(dir / kBoardFileName, board_text);
    EXPECT_EQ(run_program(RUNEL_PROGRAM, dir.path()).exit_status, 0);
    return read_file(dir / kResultFileName);
}

TEST(WindowsResultRoom, SameBigBoardAgainAndAgainOnAFileSystemThatHoldsOneResult)
{
    const std::string result = normal_result(kSeveralMegabyteBoard);
    SmallFolder small(result.size() * 3 / 2);
    if (!small.room.mounted()) GTEST_SKIP() << small.room.why_not();
    write_file(small.dir / kBoardFileName, kSeveralMegabyteBoard);
    for (int run = 1; run <= 3; ++run) {
        const ProgramRun done = run_program(RUNEL_PROGRAM, small.dir.path());
        EXPECT_EQ(done.exit_status, 0) << "run " << run << ": " << done.errors;
        EXPECT_EQ(read_file(small.dir / kResultFileName), result) << "run " << run;
    }
    EXPECT_EQ(small.dir.entries(), kBoardAndResult);
}

TEST(WindowsResultRoom, ResultPastEvenTheOldResultsRoomIsRefusedWithItsSize)
{
    const std::string result = normal_result(kSeveralMegabyteBoard);
    SmallFolder small(result.size() / 2);
    if (!small.room.mounted()) GTEST_SKIP() << small.room.why_not();
    write_file(small.dir / kResultFileName, std::string(result.size() / 3, 'o'));
    write_file(small.dir / kBoardFileName, kSeveralMegabyteBoard);
    const ProgramRun run = run_program(RUNEL_PROGRAM, small.dir.path());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.errors,
        "Runel_out.txt: the result needs " + std::to_string(result.size())
            + " bytes; no room for it on this file system; the earlier result was removed\n");
    // Nothing of this run's left, and the old result goes as after any failed run.
    EXPECT_EQ(small.dir.entries(), kNothingButTheBoard);
}

class InPlace : public testing::TestWithParam<bool> { };

// Below the run: the output takes the old result's file once only its room makes the new one
// fit, counts no room twice, and leaves neither half a result nor the old one if not committed.
TEST_P(InPlace, WhereOnlyTheOldResultsRoomMakesTheNewOneFit)
{
    constexpr std::uint64_t kMiB = 1 << 20;
    constexpr double kSlack = 64 * 1024; // the file system's own records and rounding
    SmallFolder small(4 * kMiB);
    if (!small.room.mounted()) GTEST_SKIP() << small.room.why_not();
    const double total = static_cast<double>(small.room.total_bytes());
    const fs::path name = small.dir / "result.txt";
    write_file(name, std::string(5 * kMiB / 2, 'o'));
    const bool committed = GetParam();
    {
        ResultFile result(name.string());
        ResultOutput* const output = &result.open();
        // The old result's room counts: the new result may take it.
        EXPECT_NEAR(static_cast<double>(output->free_room()), total, kSlack);
        EXPECT_THROW(output->reserve(5 * kMiB), std::system_error);
        EXPECT_EQ(fs::file_size(name), 5 * kMiB / 2); // a refusal keeps the old result
        output->reserve(3 * kMiB);
        EXPECT_NEAR(static_cast<double>(output->free_room()), total - 3.0 * kMiB, kSlack);
        const std::string half(3 * kMiB / 2, 'n');
        output->write_at(0, half.data(), half.size());
        output->write_at(half.size(), half.data(), half.size());
        EXPECT_NEAR(static_cast<double>(output->free_room()), total - 3.0 * kMiB, kSlack);
        if (committed)
            output->commit();
        else
            result.abandon(); // as a failed run does
    }
    if (committed) {
        EXPECT_EQ(read_file(name), std::string(3 * kMiB, 'n'));
        EXPECT_EQ(small.dir.entries(), std::vector<std::string> { "result.txt" });
    } else {
        EXPECT_EQ(small.dir.entries(), std::vector<std::string> {});
    }
}

INSTANTIATE_TEST_SUITE_P(Output, InPlace, testing::Bool(),
    [](const auto& info) { return info.param ? "Committed" : "NotCommitted"; });

// The system's words for `code` in `language` (0: as Windows chooses), whole, as it gives them.
std::wstring words_of(DWORD code, LANGID language)
{
    wchar_t buffer[512] {};
    const DWORD length
        = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            code, language, buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
    return std::wstring(buffer, length);
}

// UTF-16 of `text` if it is valid UTF-8, as the system reads it; nothing if it is not.
std::optional<std::wstring> from_utf8(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int size = ::MultiByteToWideChar(
        CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(
        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// `message` is valid UTF-8 and says what the system's `words` say, without their sentence end.
void expect_words(const std::string& message, const std::wstring& words)
{
    const std::optional<std::wstring> wide = from_utf8(message);
    ASSERT_TRUE(wide.has_value()) << "not UTF-8: " << message;
    ASSERT_FALSE(wide->empty());
    ASSERT_EQ(words.substr(0, wide->size()), *wide) << message;
    EXPECT_EQ(words.find_first_not_of(L". \r\n", wide->size()), std::wstring::npos) << message;
    EXPECT_EQ(std::wstring(L". \r\n").find(wide->back()), std::wstring::npos) << message;
}

TEST(SystemMessage, IsTheSystemsOwnWordsInUtf8)
{
    ASSERT_FALSE(from_utf8("Acc\xE8s refus\xE9").has_value()); // the ANSI text it replaces
    for (const DWORD code : { ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION,
             ERROR_DISK_FULL, ERROR_HANDLE_EOF }) {
        SCOPED_TRACE(code);
        expect_words(
            system_message({ static_cast<int>(code), std::system_category() }), words_of(code, 0));
    }
    // The C library's numbers keep the C library's words.
    const std::error_code no_space = std::make_error_code(std::errc::no_space_on_device);
    EXPECT_EQ(system_message(no_space), no_space.message());
}

// In the user's language, which Wine takes from LANG and LC_ALL when a process starts: run the
// suite under LC_ALL=fr_FR.UTF-8 to see words that ASCII cannot spell.
TEST(SystemMessage, ReachesARedirectedStandardErrorAsUtf8)
{
    const std::wstring words = words_of(ERROR_ACCESS_DENIED, 0);
    TempDir dir;
    write_file(dir / kBoardFileName, board_file_text(position("Ld6 bd4")));
    write_file(dir / kResultFileName, "kept\r\n");
    make_read_only(dir / kResultFileName);
    const ProgramRun run = run_program(RUNEL_PROGRAM, dir.path());
    EXPECT_EQ(run.exit_status, 1);
    const std::string prefix = "Runel_out.txt: cannot write the result: ";
    const std::string suffix = " (refused by the file); the earlier result is kept\n";
    ASSERT_EQ(run.errors.substr(0, prefix.size()), prefix);
    ASSERT_TRUE(run.errors.ends_with(suffix)) << run.errors;
    expect_words(
        run.errors.substr(prefix.size(), run.errors.size() - prefix.size() - suffix.size()), words);
}

// On a console the message goes as UTF-16, and the console shows its very characters.
TEST(SystemMessage, ReachesAConsoleAsItsOwnCharacters)
{
    ::FreeConsole();
    HANDLE screen = INVALID_HANDLE_VALUE;
    DWORD mode = 0;
    if (::AllocConsole())
        screen = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (screen == INVALID_HANDLE_VALUE || !::GetConsoleMode(screen, &mode))
        GTEST_SKIP() << "no console can be had here";
    ::SetStdHandle(STD_ERROR_HANDLE, screen);
    write_error_text("Acc\xC3\xA8s refus\xC3\xA9 \xE2\x82\xAC\n"); // "Accès refusé €"
    wchar_t shown[14] {};
    DWORD read = 0;
    ::ReadConsoleOutputCharacterW(screen, shown, 14, COORD { 0, 0 }, &read);
    EXPECT_EQ(std::wstring(shown, read), L"Acc\u00e8s refus\u00e9 \u20ac");
}

} // namespace
