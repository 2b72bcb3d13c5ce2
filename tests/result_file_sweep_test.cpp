// The result file under every fault the door can give, and beside every deed of another writer,
// in the manner of SQLite's test VFS. A clean run counts its door calls; then, for every N, a run
// has the N-th call fail with each error that call can give (once, and for good: that entry
// fails from then on), or another writer act just before it. After each run the promises are
// checked against the folder itself: status 0 only with the complete result where it goes; the
// message's ending true to what is there; nothing that is not the run's own removed or changed;
// none of the run's files left.

#include "big_boards.h"
#include "file_door.h"
#include "program.h"
#include "run.h"
#include "swapped_door.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>
#if !defined(_WIN32)
#include "fifo_reader.h"

#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

// The ways the door's lists (file_entries.h and its kin) say their entries fail.
using enum std::errc;

// The door's entries, numbered in the order of their lists.
namespace entry {
enum : int {
#define RUNEL_ENTRY(name, ...) name,
#include "file_entries.h"
#define RUNEL_ENTRY(name, ...) name,
#include "folder_entries.h"
#define RUNEL_ENTRY(name, ...) name,
#include "process_entries.h"
    count
};
} // namespace entry

template <class... Way> constexpr int count_of(Way...)
{
    return sizeof...(Way);
}

// How many ways each entry fails; 0 for one that cannot.
constexpr int kWays[entry::count] = {
#define RUNEL_ENTRY(name, type, ...) count_of(__VA_ARGS__),
#include "file_entries.h"
#define RUNEL_ENTRY(name, type, ...) count_of(__VA_ARGS__),
#include "folder_entries.h"
#define RUNEL_ENTRY(name, type, ...) count_of(__VA_ARGS__),
#include "process_entries.h"
};

constexpr const char* kNames[entry::count] = {
#define RUNEL_ENTRY(name, ...) #name,
#include "file_entries.h"
#define RUNEL_ENTRY(name, ...) #name,
#include "folder_entries.h"
#define RUNEL_ENTRY(name, ...) #name,
#include "process_entries.h"
};

// What the sweep does to the run under way. Door entries are plain functions: they read it here.
struct Sweep {
    int calls = 0; // door calls so far
    int fail_at = 0; // the call that fails, from 1; 0 for none
    int way = 0; // which of its entry's ways it fails
    bool for_good = false; // the failed entry fails from then on
    int failed_entry = -1;
    int deed_at = 0; // the call before which another writer acts
    std::function<void()> deed;
    std::vector<int> entries; // which entry each call was
    bool room_taken = false; // another writer took the free room
    bool no_unnamed_files = false; // as on NFS or vfat: every temporary file has a name
    bool after_a_run = false; // the run is a later one: the run before it has ended
    std::uint64_t most_room = 0; // the free room the file system is said to have at most
    std::thread::id run; // the run's own thread: calls from others (the syncs behind the
                         // writes) are not counted, and fail only where `failed_entry` does
};
Sweep sweep;

constexpr int kNoRoom = -1; // the way an entry fails where the room is taken

// The entries called since the sweep last looked, from any thread.
std::array<std::atomic<bool>, entry::count> reached;

// Whether this call fails, and in which way; another writer's deed is done first.
std::optional<int> at_call(int called)
{
    reached[static_cast<std::size_t>(called)] = true;
    if (std::this_thread::get_id() != sweep.run) {
        if (sweep.for_good && sweep.fail_at == 0 && called == sweep.failed_entry) return sweep.way;
        return std::nullopt;
    }
    const int call = ++sweep.calls;
    sweep.entries.push_back(called);
    if (call == sweep.deed_at && sweep.deed) std::exchange(sweep.deed, nullptr)();
    if (sweep.room_taken
        && (called == entry::allocate || called == entry::write_at || called == entry::free_room))
        return kNoRoom;
    if (sweep.no_unnamed_files && called == entry::make_unnamed) return 0;
    if (call == sweep.fail_at) sweep.failed_entry = called;
    if (call == sweep.fail_at || (sweep.for_good && called == sweep.failed_entry)) return sweep.way;
    return std::nullopt;
}

template <class R, class Way> R answer(Way way)
{
    if constexpr (std::is_same_v<R, std::error_code>)
        return std::make_error_code(way);
    else
        return R(way);
}

// The answer of an entry that fails in its `way`.
template <class R, class... Way> R failure(int way, Way... ways)
{
    if constexpr (std::is_same_v<R, std::error_code>) {
        if (way == kNoRoom) return std::make_error_code(no_space_on_device);
    }
    if (way == kNoRoom) return R {};
    return std::array<R, sizeof...(Way)> { answer<R>(ways)... }[static_cast<std::size_t>(way)];
}

template <class... Way> std::string words_of(int way, Way... ways)
{
    [[maybe_unused]] const auto words = [](auto one) {
        if constexpr (std::is_same_v<decltype(one), std::errc>)
            return "fails with " + std::make_error_code(one).message();
        else
            return std::string("fails");
    };
    return std::array<std::string, sizeof...(Way)> { words(
        ways)... }[static_cast<std::size_t>(way)];
}

// What each entry's way of failing is, in words.
std::string (*const kWords[entry::count])(int) = {
#define RUNEL_ENTRY(name, type, ...)                                                               \
    [](int way) { return words_of(way __VA_OPT__(, ) __VA_ARGS__); },
#include "file_entries.h"
#define RUNEL_ENTRY(name, type, ...)                                                               \
    [](int way) { return words_of(way __VA_OPT__(, ) __VA_ARGS__); },
#include "folder_entries.h"
#define RUNEL_ENTRY(name, type, ...)                                                               \
    [](int way) { return words_of(way __VA_OPT__(, ) __VA_ARGS__); },
#include "process_entries.h"
};

const FileDoor& system_door(FileDoor*)
{
    return system_file_door();
}
const FolderDoor& system_door(FolderDoor*)
{
    return system_folder_door();
}
const ProcessDoor& system_door(ProcessDoor*)
{
    return system_process_door();
}

// An entry of a door that counts its calls, fails where the sweep says, and otherwise is the
// system's own.
template <int kEntry, auto kMember, auto... kWays> struct Wrapped;
template <int kEntry, class Door, class R, class... A, R (*Door::*kMember)(A...), auto... kWays>
struct Wrapped<kEntry, kMember, kWays...> {
    static R call(A... args)
    {
        if (const std::optional<int> way = at_call(kEntry)) return failure<R>(*way, kWays...);
        return (system_door(static_cast<Door*>(nullptr)).*kMember)(args...);
    }
};

// The doors of the sweep: every entry that can fail wrapped, from the doors' own lists. The free
// room is capped so that even a small result is counted and reserved as a large one is.
class SweptDoor : public SwappedDoor {
public:
    explicit SweptDoor(Sweep plan)
    {
        sweep = std::move(plan);
        sweep.run = std::this_thread::get_id();
#define RUNEL_WRAP(door, name, ...)                                                                \
    __VA_OPT__(door.name = Wrapped<entry::name, &std::remove_reference_t<decltype(door)>::name,    \
                   __VA_ARGS__>::call;)
#define RUNEL_ENTRY(name, type, ...) RUNEL_WRAP(files, name, __VA_ARGS__)
#include "file_entries.h"
#define RUNEL_ENTRY(name, type, ...) RUNEL_WRAP(folders, name, __VA_ARGS__)
#include "folder_entries.h"
#define RUNEL_ENTRY(name, type, ...) RUNEL_WRAP(process, name, __VA_ARGS__)
#include "process_entries.h"
        // A later run is another process: what the run before it left under its mark is a dead
        // run's, though this test process lives on.
        if (sweep.after_a_run) {
            process.process_running = [](const ProcessMark& run) {
                const ProcessMark self = system_process_door().this_process();
                return (run.id != self.id || run.started != self.started)
                    && system_process_door().process_running(run);
            };
        }
        files.free_room = [](Handle file) {
            FileRoom room
                = Wrapped<entry::free_room, &FileDoor::free_room, FileRoom {}>::call(file);
            room.free = std::min(room.free, sweep.most_room);
            return room;
        };
    }
};

// A representative run: what is at the name before it, and where the result goes.
enum class Layout {
    new_result, // nothing at the name
    replaced, // an earlier result, replaced
    in_place, // an earlier result with a second hard link, written in place
    through_link, // a link at the name to a file beside it
    stream, // a FIFO, read as it is written
    dead_runs_files, // an earlier result moved aside by a dead run, and its temporary files
};

const std::string kEarlier = "the earlier result\n";
const std::string kOthers = "another run's result\n";
const std::string kSentinel = "not the run's\n";

// Where the earlier result is written in place (as the plain opening would): another writer's
// file found at the opening is written into too.
constexpr bool kReplacesExisting = RUNEL_REPLACES_EXISTING;
bool writes_in_place(Layout layout)
{
    return layout == Layout::in_place || (!kReplacesExisting && layout != Layout::stream);
}

struct Folder {
    TempDir dir;
    Layout layout;
    const std::string* board = &kTensOfKilobytesBoard;
    fs::path result() const
    {
        return dir / (layout == Layout::through_link ? "target.txt" : "Runel_out.txt");
    }
};

void lay_out(const Folder& folder)
{
    write_file(folder.dir / "Runel_in.txt", *folder.board);
    write_file(folder.dir / "sentinel.txt", kSentinel);
    switch (folder.layout) {
    case Layout::new_result:
        break;
    case Layout::replaced:
        write_file(folder.result(), kEarlier);
        break;
    case Layout::dead_runs_files: {
        // A run that died with the earlier result and its own temporary file moved aside (where
        // the system can move a name aside), and one that died while it wrote its temporary file:
        // the earlier result is put back, the temporary files removed.
        const FolderDoor& system = system_folder_door();
        const bool moves_aside = system.rename_no_replace(system.working_folder, "", "")
            != std::errc::operation_not_supported;
        const std::string dead_mark = moves_aside ? ".runel-removing-2147483646-1" : "";
        write_file(folder.dir / ("Runel_out.txt" + dead_mark), kEarlier);
        write_file(folder.dir / ("Runel_out.txt.runel-abcdef" + dead_mark), "a dead run's part");
        write_file(folder.dir / "Runel_out.txt.runel-ghijkl", "a dead run's part");
        break;
    }
    case Layout::in_place:
        write_file(folder.result(), kEarlier);
        fs::create_hard_link(folder.result(), folder.dir / "second link");
        break;
    case Layout::through_link:
        write_file(folder.result(), kEarlier);
        fs::create_symlink("target.txt", folder.dir / "Runel_out.txt");
        break;
    case Layout::stream:
#if !defined(_WIN32)
        ::mkfifo((folder.dir / "Runel_out.txt").c_str(), 0600);
#endif
        break;
    }
}

struct Outcome {
    int status;
    std::string errors;
    std::string streamed; // what a FIFO's reader got
};

Outcome run_in(const Folder& folder, Sweep plan)
{
#if !defined(_WIN32)
    std::optional<FifoReader> reader;
    if (folder.layout == Layout::stream) reader.emplace(folder.dir / "Runel_out.txt");
#endif
    const fs::path before = fs::current_path();
    fs::current_path(folder.dir.path());
    std::ostringstream errors;
    int status = 0;
    // The small board's result is counted and reserved as a large one is.
    plan.most_room = folder.board == &kTensOfKilobytesBoard
        ? 256 << 10
        : std::numeric_limits<std::uint64_t>::max();
    {
        const SweptDoor door(std::move(plan));
        status = run(errors, RunOptions {});
    }
    fs::current_path(before);
#if !defined(_WIN32)
    if (reader) return { status, errors.str(), reader->finish() };
#endif
    return { status, errors.str(), "" };
}

const std::string& expected_result(const Folder& like)
{
    static std::map<const std::string*, std::string> results;
    if (!results.contains(like.board)) {
        Folder folder { {}, Layout::new_result, like.board };
        lay_out(folder);
        const Outcome clean = run_in(folder, {});
        EXPECT_EQ(clean.status, 0) << clean.errors;
        results[like.board] = read_file(folder.result());
    }
    return results[like.board];
}

// The endings a failed run's line may have, and which is true of what is where the result goes.
const std::string kKept = "; the earlier result is kept\n";
const std::string kRemoved = "; the earlier result was removed\n";
const std::string kPart = "; Runel_out.txt holds part of the new result\n";
const std::string kEmpty = "; Runel_out.txt is left empty\n";
const std::string kNewInPlace
    = "; the new result is in place, but may not survive a power failure\n";

// The ending that is true of what is now where the result goes; "\n" for none.
std::string true_ending(const Folder& folder, bool had_earlier)
{
    if (folder.layout == Layout::stream) return "\n";
    if (!fs::exists(folder.result())) return had_earlier ? kRemoved : "\n";
    const std::string now = read_file(folder.result());
    if (now == kEarlier || now == kOthers) return kKept;
    if (now == expected_result(folder)) return kNewInPlace;
    if (now.empty()) return kEmpty;
    if (expected_result(folder).starts_with(now)) return kPart;
    return "a result that is neither the earlier one nor part of the new one\n";
}

bool ends_with(const std::string& text, const std::string& end)
{
    return text.size() >= end.size()
        && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The run's temporary names in the folder.
std::vector<std::string> leftovers(const Folder& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder.dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.find(".runel-") != std::string::npos) names.push_back(name);
    }
    return names;
}

// The promises every run keeps, whatever the door did. `others`: another writer's result was put
// where the result goes, and must be there still unless the run's own complete result replaced it.
void check_promises(const Folder& folder, const Outcome& outcome, bool others)
{
    const bool had_earlier = folder.layout != Layout::new_result && folder.layout != Layout::stream;
    EXPECT_EQ(read_file(folder.dir / "sentinel.txt"), kSentinel);
    if (folder.layout == Layout::through_link) {
        EXPECT_TRUE(fs::is_symlink(folder.dir / "Runel_out.txt")) << "the link itself stays";
    }
    if (folder.layout == Layout::stream) {
        EXPECT_TRUE(fs::is_fifo(folder.dir / "Runel_out.txt"));
        EXPECT_TRUE(expected_result(folder).starts_with(outcome.streamed));
        if (outcome.status == 0) {
            EXPECT_EQ(outcome.streamed.size(), expected_result(folder).size());
        }
    }
    const bool readable = folder.layout != Layout::stream && fs::exists(folder.result());
    const std::string now = readable ? read_file(folder.result()) : "";
    if (outcome.status == 0) {
        EXPECT_EQ(outcome.errors, "");
        if (folder.layout != Layout::stream && !(others && now == kOthers)) {
            EXPECT_TRUE(now == expected_result(folder)) << "status 0 without the complete result";
        }
    } else {
        EXPECT_EQ(outcome.status, 1);
        // A step the stages have no row for, or a stage that does not hold, is a fault of the
        // program's own, whatever the door did.
        EXPECT_EQ(outcome.errors.find("internal error"), std::string::npos) << outcome.errors;
        if (others && !writes_in_place(folder.layout)) {
            EXPECT_TRUE(now == kOthers)
                << "another writer's result went: " << now.size() << " bytes";
        }
        // One line, with what the run moved aside first where another writer's file was in
        // its way.
        std::string line = outcome.errors;
        const std::string aside = "a file put at the result's name meanwhile is kept, as ";
        if (line.starts_with(aside)) {
            const std::size_t end = line.find('\n');
            EXPECT_TRUE(fs::exists(folder.dir / line.substr(aside.size(), end - aside.size())));
            line.erase(0, end + 1);
        }
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << outcome.errors;
        const std::string truth = true_ending(folder, had_earlier);
        // A link's target is spoken of only where the run could prove which file it reached
        // (the plain POSIX calls cannot): saying nothing of it is no untruth.
        // Nor need it speak of another writer's file where there was none when it began.
        const bool may_say_nothing = folder.layout == Layout::through_link
            || (truth == kKept && !had_earlier && now == kOthers)
            // Put back from a dead run's private name, it was not at the name when the run began.
            || (truth == kKept && folder.layout == Layout::dead_runs_files);
        for (const std::string& ending : { kKept, kRemoved, kPart, kEmpty, kNewInPlace }) {
            if (ending == truth && may_say_nothing) continue;
            EXPECT_EQ(ends_with(line, ending), ending == truth) << line << "where " << truth;
        }
    }
    // A temporary file whose removal failed, where the system cannot move a name aside to check
    // it, stays as a killed run's would: the next run in the folder removes it.
    if (!leftovers(folder).empty() && folder.layout != Layout::stream) {
        Sweep later;
        later.after_a_run = true;
        run_in(folder, later);
    }
    EXPECT_EQ(leftovers(folder), std::vector<std::string> {});
}

struct Case {
    const char* name;
    Layout layout;
    bool no_unnamed_files = false;
};

void PrintTo(const Case& row, std::ostream* out)
{
    *out << row.name;
}

const Case kCases[] = {
    { "NewResult", Layout::new_result },
    { "Replaced", Layout::replaced },
    { "ReplacedByANamedFile", Layout::replaced, true },
    { "WrittenInPlace", Layout::in_place },
#if !defined(_WIN32) // symbolic links and FIFOs need privileges or do not exist there
    { "ThroughALink", Layout::through_link },
    { "Streamed", Layout::stream },
    // A dead run's files are left to later runs where the system does not remove them itself.
    { "BesideADeadRunsFiles", Layout::dead_runs_files },
#endif
};

// The door calls of a clean run, which each swept run follows up to its fault.
std::vector<int> calls_of(const Case& row)
{
    const Layout layout = row.layout;
    Sweep plan;
    plan.no_unnamed_files = row.no_unnamed_files;
    Folder folder { {}, layout };
    lay_out(folder);
    const Outcome clean = run_in(folder, plan);
    const std::vector<int> calls = sweep.entries;
    EXPECT_EQ(clean.status, 0) << clean.errors;
    check_promises(folder, clean, false);
    return calls;
}

class ResultFileSweep : public testing::TestWithParam<Case> { };

TEST_P(ResultFileSweep, EveryDoorCallFailingInTurnKeepsThePromises)
{
    const std::vector<int> calls = calls_of(GetParam());
    ASSERT_FALSE(calls.empty());
    int runs = 0;
    for (int n = 1; n <= static_cast<int>(calls.size()); ++n) {
        for (int way = 0; way < kWays[calls[n - 1]]; ++way) {
            for (const bool for_good : { false, true }) {
                Folder folder { {}, GetParam().layout };
                lay_out(folder);
                Sweep plan;
                plan.no_unnamed_files = GetParam().no_unnamed_files;
                plan.fail_at = n;
                plan.way = way;
                plan.for_good = for_good;
                SCOPED_TRACE("call " + std::to_string(n) + " of " + kNames[calls[n - 1]] + " "
                    + kWords[calls[n - 1]](way) + (for_good ? " for good" : " once"));
                check_promises(folder, run_in(folder, plan), false);
                ++runs;
                if (HasFailure()) return;
            }
        }
    }
    RecordProperty("runs", runs);
}

// Another writer's deeds: its result renamed over the name, or written into the file there, or
// the room taken.
enum class Deed { rename_over, write_in_place, take_room };

TEST_P(ResultFileSweep, AnotherWritersDeedBetweenAnyTwoCallsKeepsThePromises)
{
    const Layout layout = GetParam().layout;
    if (layout == Layout::stream) GTEST_SKIP() << "another writer cannot take a FIFO's name";
    const std::vector<int> calls = calls_of(GetParam());
    // Each deed once in a run that succeeds, and once in a run whose syncs all fail, so that what
    // the failure takes back meets what the other writer did. From the second call: before the
    // first, the run's look at the name, the other writer's file is the earlier result.
    int runs = 0;
    for (int n = 2; n <= static_cast<int>(calls.size()); ++n) {
        for (const auto& [deed, fails] : { std::pair { Deed::rename_over, false },
                 { Deed::rename_over, true }, { Deed::write_in_place, false },
                 { Deed::write_in_place, true }, { Deed::take_room, false } }) {
            // Two plain writers into one file mix their bytes: that is what writing in place is.
            if (writes_in_place(layout) && deed == Deed::write_in_place) continue;
            Folder folder { {}, layout };
            lay_out(folder);
            Sweep plan;
            plan.no_unnamed_files = GetParam().no_unnamed_files;
            plan.deed_at = n;
            if (fails) {
                plan.for_good = true;
                plan.failed_entry = entry::sync; // its first way: io_error
            }
            const fs::path where = folder.result();
            const fs::path spare = folder.dir / "other run";
            // Windows refuses both deeds while the run holds the file at the name open without
            // sharing them (its new result, once renamed there), and a rename over any file held
            // open: a refused deed is not done, and the run goes on as if it never came.
            bool done = false;
            if (deed == Deed::rename_over) {
                plan.deed = [&] {
                    write_file(spare, kOthers);
                    std::error_code refused;
                    fs::rename(spare, where, refused);
                    if (refused) fs::remove(spare);
                    done = !refused;
                };
            } else if (deed == Deed::write_in_place) {
                plan.deed = [&] {
                    std::ofstream out(where, std::ios::binary | std::ios::trunc);
                    done = static_cast<bool>(out << kOthers << std::flush);
                };
            } else {
                plan.deed = [] { sweep.room_taken = true; };
            }
            SCOPED_TRACE("before call " + std::to_string(n) + ", deed "
                + std::to_string(static_cast<int>(deed)) + (fails ? ", every sync failing" : ""));
            const Outcome outcome = run_in(folder, plan);
#if !defined(_WIN32)
            // A run that failed before the call does not meet the deed; one that meets it here
            // sees it done.
            EXPECT_TRUE(done || sweep.deed || deed == Deed::take_room)
                << "only Windows refuses these deeds";
#endif
            check_promises(folder, outcome, done);
            ++runs;
            if (HasFailure()) return;
        }
    }
    RecordProperty("runs", runs);
}

// The entries that clean runs of these rows call, on `board`.
std::vector<bool> entries_called(const std::vector<Case>& rows, const std::string& board)
{
    for (std::atomic<bool>& entry : reached) entry = false;
    for (const Case& row : rows) {
        Folder folder { {}, row.layout, &board };
        lay_out(folder);
        Sweep plan;
        plan.no_unnamed_files = row.no_unnamed_files;
        check_promises(folder, run_in(folder, plan), false);
    }
    return std::vector<bool>(reached.begin(), reached.end());
}

// What the rows above never call (the syncs behind the writes wait for megabytes of result)
// fails for good from its first call, in each of its ways, in a run of tens of megabytes. Where
// the system's calls are Linux's own, every entry that can fail is called there or above.
TEST(ResultFileSweepOfEntries, EveryEntryTheRowsMissFailingForGoodKeepsThePromises)
{
    const std::vector<bool> in_rows
        = entries_called({ std::begin(kCases), std::end(kCases) }, kTensOfKilobytesBoard);
    const std::vector<bool> in_big_run
        = entries_called({ { "Replaced", Layout::replaced } }, kTensOfMegabytesBoard);
    for (int called = 0; called < entry::count; ++called) {
        const auto at = static_cast<std::size_t>(called);
        if (kWays[called] == 0 || in_rows[at]) continue;
#if defined(RUNEL_LINUX_FILES)
        EXPECT_TRUE(in_big_run[at]) << kNames[called] << " can fail, and no swept run calls it";
#endif
        for (int way = 0; way < kWays[called] && in_big_run[at]; ++way) {
            Folder folder { {}, Layout::replaced, &kTensOfMegabytesBoard };
            lay_out(folder);
            Sweep plan;
            plan.failed_entry = called;
            plan.way = way;
            plan.for_good = true;
            SCOPED_TRACE(std::string(kNames[called]) + " " + kWords[called](way) + " for good");
            check_promises(folder, run_in(folder, plan), false);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, ResultFileSweep, testing::ValuesIn(kCases),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
