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
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>
#if !defined(_WIN32)
#include "fifo_reader.h"

#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

// What the sweep does to the run under way. Door entries are plain functions: they read it here.
struct Sweep {
    int calls = 0; // door calls so far
    int fail_at = 0; // the call that fails, from 1; 0 for none
    std::errc error {};
    bool for_good = false; // the failed entry fails from then on
    int failed_entry = -1;
    int deed_at = 0; // the call before which another writer acts
    std::function<void()> deed;
    std::vector<int> entries; // which entry each call was
    bool room_taken = false; // another writer took the free room
    bool no_unnamed_files = false; // as on NFS or vfat: every temporary file has a name
};
Sweep sweep;

// The door's entries that can fail, by number.
namespace entry {
enum : int {
    create_new,
    open_existing,
    reopen_read_write,
    identify,
    identify_at,
    open_folder_of,
    standing,
    make_unnamed,
    make_named,
    carry_identity,
    give_name,
    rename_over,
    open_leftover,
    names_beginning,
    rename_no_replace,
    unlink,
    open_read,
    read,
    write,
    write_at,
    read_at,
    copy_range,
    truncate,
    allocate,
    free_room,
    held_bytes,
    sync,
    sync_folder,
};
} // namespace entry

// The errors each entry can give. Entries that answer with a handle, a flag or a number fail the
// one way they can: no handle, false, 0.
std::vector<std::errc> errors_of(int called)
{
    using E = std::errc;
    switch (called) {
    case entry::create_new:
        return { E::permission_denied, E::no_space_on_device, E::too_many_files_open };
    case entry::open_existing:
        return { E::permission_denied, E::too_many_files_open, E::no_such_file_or_directory };
    case entry::identify_at: // "no such file" only where it is so, as the deeds make it
        return { E::permission_denied, E::io_error };
    case entry::open_folder_of:
        return { E::too_many_files_open };
    case entry::make_unnamed:
        return { E::operation_not_supported, E::no_space_on_device };
    case entry::make_named:
        return { E::no_space_on_device, E::permission_denied, E::file_exists };
    case entry::give_name:
        return { E::file_exists, E::no_space_on_device };
    case entry::rename_over:
        return { E::device_or_resource_busy, E::permission_denied, E::io_error };
    case entry::rename_no_replace:
        return { E::permission_denied, E::operation_not_supported };
    case entry::unlink:
        return { E::permission_denied, E::device_or_resource_busy };
    case entry::write:
    case entry::write_at:
        return { E::io_error, E::no_space_on_device };
    case entry::allocate:
        return { E::no_space_on_device, E::io_error };
    case entry::sync:
        return { E::io_error, E::read_only_file_system, E::operation_not_supported };
    default:
        return { E::io_error };
    }
}

// Whether this call fails, and with what; another writer's deed is done first.
std::optional<std::errc> at_call(int called)
{
    const int call = ++sweep.calls;
    sweep.entries.push_back(called);
    if (call == sweep.deed_at && sweep.deed) std::exchange(sweep.deed, nullptr)();
    if (sweep.room_taken
        && (called == entry::allocate || called == entry::write_at || called == entry::free_room))
        return std::errc::no_space_on_device;
    if (call == sweep.fail_at) {
        sweep.failed_entry = called;
        return sweep.error;
    }
    if (sweep.for_good && called == sweep.failed_entry) return sweep.error;
    return std::nullopt;
}

template <class R> R failure(std::errc error)
{
    if constexpr (std::is_same_v<R, std::error_code>)
        return std::make_error_code(error);
    else if constexpr (std::is_same_v<R, Handle>)
        return kNoHandle;
    else
        return R {}; // false, or no bytes
}

// An entry of the door that counts its calls, fails where the sweep says, and otherwise is the
// system's own.
template <int kEntry, auto kMember> struct Wrapped;
template <int kEntry, class R, class... A, R (*FileDoor::*kMember)(A...)>
struct Wrapped<kEntry, kMember> {
    static R call(A... args)
    {
        if (const std::optional<std::errc> error = at_call(kEntry)) return failure<R>(*error);
        return (system_file_door().*kMember)(args...);
    }
};

// The door of the sweep: every entry that can fail wrapped. The free room is capped so that even
// a small result is counted and reserved as a large one is.
class SweptDoor : public SwappedDoor {
public:
    explicit SweptDoor(Sweep plan)
    {
        sweep = std::move(plan);
        FileDoor& door = **this;
        door.create_new = Wrapped<entry::create_new, &FileDoor::create_new>::call;
        door.open_existing = Wrapped<entry::open_existing, &FileDoor::open_existing>::call;
        door.reopen_read_write
            = Wrapped<entry::reopen_read_write, &FileDoor::reopen_read_write>::call;
        door.identify = Wrapped<entry::identify, &FileDoor::identify>::call;
        door.identify_at = Wrapped<entry::identify_at, &FileDoor::identify_at>::call;
        door.open_folder_of = Wrapped<entry::open_folder_of, &FileDoor::open_folder_of>::call;
        door.standing = Wrapped<entry::standing, &FileDoor::standing>::call;
        door.make_unnamed = Wrapped<entry::make_unnamed, &FileDoor::make_unnamed>::call;
        door.make_named = Wrapped<entry::make_named, &FileDoor::make_named>::call;
        door.carry_identity = Wrapped<entry::carry_identity, &FileDoor::carry_identity>::call;
        door.give_name = Wrapped<entry::give_name, &FileDoor::give_name>::call;
        door.rename_over = Wrapped<entry::rename_over, &FileDoor::rename_over>::call;
        door.open_leftover = Wrapped<entry::open_leftover, &FileDoor::open_leftover>::call;
        door.names_beginning = Wrapped<entry::names_beginning, &FileDoor::names_beginning>::call;
        door.rename_no_replace
            = Wrapped<entry::rename_no_replace, &FileDoor::rename_no_replace>::call;
        door.unlink = Wrapped<entry::unlink, &FileDoor::unlink>::call;
        door.open_read = Wrapped<entry::open_read, &FileDoor::open_read>::call;
        door.read = Wrapped<entry::read, &FileDoor::read>::call;
        door.write = Wrapped<entry::write, &FileDoor::write>::call;
        door.write_at = Wrapped<entry::write_at, &FileDoor::write_at>::call;
        door.read_at = Wrapped<entry::read_at, &FileDoor::read_at>::call;
        door.copy_range = Wrapped<entry::copy_range, &FileDoor::copy_range>::call;
        door.truncate = Wrapped<entry::truncate, &FileDoor::truncate>::call;
        door.allocate = Wrapped<entry::allocate, &FileDoor::allocate>::call;
        door.free_room = [](Handle file) {
            return std::min<std::uint64_t>(
                Wrapped<entry::free_room, &FileDoor::free_room>::call(file), 256 << 10);
        };
        door.held_bytes = Wrapped<entry::held_bytes, &FileDoor::held_bytes>::call;
        door.sync = Wrapped<entry::sync, &FileDoor::sync>::call;
        door.sync_folder = Wrapped<entry::sync_folder, &FileDoor::sync_folder>::call;
    }
};

// A representative run: what is at the name before it, and where the result goes.
enum class Layout {
    new_result, // nothing at the name
    replaced, // an earlier result, replaced
    in_place, // an earlier result with a second hard link, written in place
    through_link, // a link at the name to a file beside it
    stream, // a FIFO, read as it is written
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
    fs::path result() const
    {
        return dir / (layout == Layout::through_link ? "target.txt" : "Runel_out.txt");
    }
};

void lay_out(const Folder& folder)
{
    write_file(folder.dir / "Runel_in.txt", kTensOfKilobytesBoard);
    write_file(folder.dir / "sentinel.txt", kSentinel);
    switch (folder.layout) {
    case Layout::new_result:
        break;
    case Layout::replaced:
        write_file(folder.result(), kEarlier);
        break;
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

const std::string& expected_result()
{
    static const std::string result = [] {
        Folder folder { {}, Layout::new_result };
        lay_out(folder);
        const Outcome clean = run_in(folder, {});
        EXPECT_EQ(clean.status, 0) << clean.errors;
        return read_file(folder.result());
    }();
    return result;
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
    if (now == expected_result()) return kNewInPlace;
    if (now.empty()) return kEmpty;
    if (expected_result().starts_with(now)) return kPart;
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
        EXPECT_TRUE(expected_result().starts_with(outcome.streamed));
        if (outcome.status == 0) {
            EXPECT_EQ(outcome.streamed.size(), expected_result().size());
        }
    }
    const bool readable = folder.layout != Layout::stream && fs::exists(folder.result());
    const std::string now = readable ? read_file(folder.result()) : "";
    if (outcome.status == 0) {
        EXPECT_EQ(outcome.errors, "");
        if (folder.layout != Layout::stream && !(others && now == kOthers)) {
            EXPECT_TRUE(now == expected_result()) << "status 0 without the complete result";
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
            || (truth == kKept && !had_earlier && now == kOthers);
        for (const std::string& ending : { kKept, kRemoved, kPart, kEmpty, kNewInPlace }) {
            if (ending == truth && may_say_nothing) continue;
            EXPECT_EQ(ends_with(line, ending), ending == truth) << line << "where " << truth;
        }
    }
    // A temporary file whose removal failed, where the system cannot move a name aside to check
    // it, stays as a killed run's would: the next run in the folder removes it.
    if (!leftovers(folder).empty() && folder.layout != Layout::stream) run_in(folder, {});
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
        for (const std::errc error : errors_of(calls[n - 1])) {
            for (const bool for_good : { false, true }) {
                Folder folder { {}, GetParam().layout };
                lay_out(folder);
                Sweep plan;
                plan.no_unnamed_files = GetParam().no_unnamed_files;
                plan.fail_at = n;
                plan.error = error;
                plan.for_good = for_good;
                SCOPED_TRACE("call " + std::to_string(n) + " of entry "
                    + std::to_string(calls[n - 1]) + " fails with "
                    + std::make_error_code(error).message() + (for_good ? " for good" : " once"));
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
                plan.failed_entry = entry::sync;
                plan.error = std::errc::io_error;
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

INSTANTIATE_TEST_SUITE_P(Runs, ResultFileSweep, testing::ValuesIn(kCases),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
