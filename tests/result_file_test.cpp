// The result file's policy. With faults put through its door: each row swaps some primitives of
// the process's door for a while, runs the result file through open, write and commit (or a
// failure, or a signal), and checks what a user would find at the name. Then through the
// system's own door, what every system must do with a regular file.

#include "file_door.h"
#include "program.h"
#include "result_file.h"
#include "swapped_door.h"
#include "take_back.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

namespace fs = std::filesystem;

namespace {

// Where runel can carry an existing result's attributes over, the new result is written beside it
// and replaces it on commit; elsewhere it is written in place.
constexpr bool kReplacesExisting = RUNEL_REPLACES_EXISTING;

// What the swapped primitives saw, and what they are to do; primitives are plain functions, so
// they read it from here.
struct Faults {
    std::set<Handle> unsynced; // handles written to since their last sync
    bool put_in_place_unsynced = false; // a file made the result before its data was synced
    std::error_code sync_data; // what the syncs behind the writes answer, where set
};
Faults faults;

std::error_code write_at(
    Handle file, std::uint64_t offset, const char* data, std::size_t size, std::size_t& written)
{
    faults.unsynced.insert(file);
    return system_file_door().write_at(file, offset, data, size, written);
}

std::error_code sync(Handle file)
{
    faults.unsynced.erase(file);
    return system_file_door().sync(file);
}

std::error_code sync_data(Handle file)
{
    return faults.sync_data ? faults.sync_data : system_file_door().sync_data(file);
}

std::error_code rename_over(Handle file, const std::string& name, const Place& place)
{
    if (faults.unsynced.contains(file)) faults.put_in_place_unsynced = true;
    return system_folder_door().rename_over(file, name, place);
}

// The door with the faults above, while it lives.
class FaultyDoor : public SwappedDoor {
public:
    FaultyDoor()
    {
        faults = {};
        files.write_at = write_at;
        files.sync = sync;
        files.sync_data = sync_data;
        folders.rename_over = rename_over;
    }
};

// How the run ends: its commit (and, should that fail, what a failed run does after), or a
// signal.
enum class Ending { commit, signal };

struct Row {
    const char* name;
    bool earlier_result; // "old" at the name before the run
    std::function<void()> fault; // set once the result is open
    std::function<void(const TempDir&)> meanwhile; // another writer, before the signal
    Ending ending;
    bool fails; // the commit fails
    std::string expected; // at the name afterwards ("" for nothing there)
    std::size_t bytes = 3000; // of the new result
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

// Another run renames its complete result over the name.
void another_run_renames_in(const TempDir& dir)
{
    write_file(dir / "other", "other run's");
    fs::rename(dir / "other", dir / "result.txt");
}

const std::string kNew(3000, 'n');
// Past the step at which the syncs behind the writes begin.
const std::string kBig(9 << 20, 'n');

// A failing sync, a refused rename, a failed run beside an earlier result and another run's
// deeds between any two steps are swept over every door call in result_file_sweep_test.cpp;
// these rows are what a sweep of single faults does not show: the order of the syncs, the syncs
// behind large writes, and what a signal takes back.
const Row kRows[] = {
    { "ResultIsOnTheDiskBeforeItIsPutInPlace", true, nullptr, nullptr, Ending::commit, false,
        kNew },
    { "SyncBehindTheWritesFailingFailsTheRun", true,
        [] { faults.sync_data = std::make_error_code(std::errc::io_error); }, nullptr,
        Ending::commit, true, "", kBig.size() },
    { "SignalLeavesTheEarlierResult", true, nullptr, nullptr, Ending::signal, false, "old" },
    { "SignalLeavesWhatAnotherWriterPutInTheNewFile", false, nullptr,
        [](const TempDir& dir) { write_file(dir / "result.txt", "other run's"); }, Ending::signal,
        false, "other run's" },
};

class ResultFileFaults : public testing::TestWithParam<Row> { };

TEST_P(ResultFileFaults, LeaveTheNameAsAUserExpects)
{
    const Row& row = GetParam();
    TempDir dir;
    const std::string name = (dir / "result.txt").string();
    if (row.earlier_result) write_file(name, "old");
    const FaultyDoor door;
    auto result = std::make_unique<ResultFile>(name);
    ResultOutput* output = &result->open();
    if (row.fault) row.fault();
    if (row.meanwhile) row.meanwhile(dir);
    const std::string& bytes = row.bytes == kBig.size() ? kBig : kNew;
    output->reserve(bytes.size());
    output->write_at(0, bytes.data(), bytes.size());
    if (row.ending == Ending::commit) {
        try {
            output->commit();
            EXPECT_FALSE(row.fails);
        } catch (const std::system_error&) {
            EXPECT_TRUE(row.fails);
            result->abandon();
        }
    } else {
        take_back_on_signal(); // what the handler does before the process ends
    }
    // Where the earlier result is written in place, the run gave it up at its first write: a
    // signal takes it back rather than leave a part.
    const bool given_up = row.ending == Ending::signal && row.earlier_result && !kReplacesExisting;
    if (row.ending == Ending::signal && !given_up) {
        EXPECT_EQ(read_file(name), row.expected);
    }
    EXPECT_FALSE(faults.put_in_place_unsynced) << "a power failure would leave a part";
    result.reset();
    std::vector<std::string> left;
    if (!row.expected.empty() && !given_up) left.emplace_back("result.txt");
    EXPECT_EQ(dir.entries(), left);
    if (!row.expected.empty() && row.ending != Ending::signal) {
        EXPECT_EQ(read_file(name), row.expected == kNew ? bytes : row.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ResultFileFaults, testing::ValuesIn(kRows),
    [](const auto& info) { return std::string(info.param.name); });

// A run that fails before it opens the result takes only the file it found when it began for
// stale, never one another run put in place since.
TEST(RemoveStaleResult, OnlyTheFileTheRunBeganWith)
{
    TempDir dir;
    const std::string name = (dir / "result.txt").string();
    write_file(name, "old");
    ResultFile began_before(name);
    another_run_renames_in(dir);
    EXPECT_EQ(began_before.abandon(), LeftBehind::earlier_kept);
    EXPECT_EQ(read_file(name), "other run's");
    EXPECT_EQ(ResultFile(name).abandon(), LeftBehind::earlier_removed);
    EXPECT_EQ(dir.entries(), std::vector<std::string> {});
}

// Through the system's own door: what every system must do with a regular file.

std::vector<std::string> result_only()
{
    return { "result.txt" };
}

TEST(ResultOutput, WritesAndCopiesWithinTheFile)
{
    TempDir dir;
    const std::string name = (dir / "result.txt").string();
    write_file(name, "an earlier result\n");
    ResultFile result(name);
    ResultOutput* const output = &result.open();
    ASSERT_TRUE(output->random_access());
    // Past the step at which the syncs behind the writes begin.
    constexpr std::size_t kPart = 3'000'000;
    output->reserve(4 * kPart);
    for (std::size_t part = 0; part < 3; ++part) {
        const std::string bytes(kPart, static_cast<char>('a' + part));
        output->write_at(part * kPart, bytes.data(), bytes.size());
    }
    output->copy_within(kPart / 2, 3 * kPart, kPart); // the back half of a, the front of b
    std::string back(2, '\0');
    output->read_at(kPart - 1, back.data(), back.size());
    EXPECT_EQ(back, "ab");
    if (kReplacesExisting) {
        EXPECT_EQ(read_file(name), "an earlier result\n"); // not replaced before commit
    }
    output->commit();

    const std::string expected = std::string(kPart, 'a') + std::string(kPart, 'b')
        + std::string(kPart, 'c') + std::string(kPart / 2, 'a') + std::string(kPart / 2, 'b');
    EXPECT_EQ(read_file(name), expected);
    EXPECT_EQ(dir.entries(), result_only());
}

TEST(ResultOutput, NotCommittedLeavesTheEarlierResultAndNoTemporaryFile)
{
    if (!kReplacesExisting) GTEST_SKIP() << "this build writes an existing result in place";
    TempDir dir;
    const std::string name = (dir / "result.txt").string();
    write_file(name, "an earlier result\n");
    {
        // Enough that a sync behind the writes is under way when the output goes.
        ResultFile result(name);
        ResultOutput* const output = &result.open();
        const std::string half(9 << 20, 'h');
        output->write_at(0, half.data(), half.size());
    }
    EXPECT_EQ(read_file(name), "an earlier result\n");
    EXPECT_EQ(dir.entries(), result_only());
}

TEST(ResultOutput, RefusesToReserveMoreThanTheFileSystemHolds)
{
    TempDir dir;
    const std::string name = (dir / "result.txt").string();
    const std::uintmax_t free_bytes = fs::space(dir.path()).available;
    {
        ResultFile result(name);
        ResultOutput* const output = &result.open();
        try {
            output->reserve(free_bytes + (std::uint64_t { 1 } << 30));
            ADD_FAILURE() << "reserved " << free_bytes << " bytes and a GiB more";
        } catch (const std::system_error& refusal) {
            EXPECT_EQ(refusal.code(), std::errc::no_space_on_device) << refusal.what();
        }
    }
    EXPECT_TRUE(dir.entries().empty());
}

} // namespace
