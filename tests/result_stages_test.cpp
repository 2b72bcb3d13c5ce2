// The result file's stages: each row of kStageChanges is taken by a run of its own here, and what
// that run leaves at the name is what the row promises. A row that no run takes is one the code
// does not carry out; a step the code takes without a row throws, and fails its run.

#include "program.h"
#include "result_file.h"
#include "result_stages.h"
#include "swapped_door.h"
#include "take_back.h"

#include <gtest/gtest.h>

#include <bitset>
#include <memory>

namespace {

constexpr bool kReplacesExisting = RUNEL_REPLACES_EXISTING;

// What the swapped entries are to do; entries are plain functions and read it here.
struct Faults {
    bool refuse_first_allocation = false; // as on a file system with no room beside the old file
    std::errc rename_error {}; // every rename over the name fails so, where set
};
Faults faults;

std::error_code allocate(Handle file, std::uint64_t size)
{
    if (std::exchange(faults.refuse_first_allocation, false))
        return std::make_error_code(std::errc::no_space_on_device);
    return system_file_door().allocate(file, size);
}

std::error_code rename_over(Handle file, const std::string& from, const Place& place)
{
    if (faults.rename_error != std::errc {}) return std::make_error_code(faults.rename_error);
    return system_folder_door().rename_over(file, from, place);
}

enum class Earlier { none, replaceable, hard_linked };
enum class Ending { commit, fail_before_writing, fail_after_writing, signal_after_writing };

struct Row {
    const char* name;
    Earlier earlier;
    Faults faults;
    Ending ending;
    std::string expected; // at the name afterwards; "" for nothing there
};

const std::string kOld = "the earlier result\n";
const std::string kNew = "a1:a3\n";

const Row kRows[] = {
    { "ReplacedInOneStep", Earlier::replaceable, {}, Ending::commit, kNew },
    { "NoRoomBesideWritesIntoTheEarliersRoom", Earlier::replaceable, { true }, Ending::commit,
        kNew },
    { "FailedBesideRemovesTheStaleResult", Earlier::replaceable, {}, Ending::fail_after_writing,
        "" },
    { "SignalInTheEarliersRoomLeavesNoPart", Earlier::replaceable, { true },
        Ending::signal_after_writing, "" },
    { "HardLinkedIsWrittenInPlace", Earlier::hard_linked, {}, Ending::commit, kNew },
    { "HardLinkedFailingBeforeItsFirstWriteIsKept", Earlier::hard_linked, {},
        Ending::fail_before_writing, kOld },
    { "HardLinkedFailingAfterItsFirstWriteHoldsThePart", Earlier::hard_linked, {},
        Ending::fail_after_writing, kNew },
    { "BusyNameTakesTheResultCopiedIn", Earlier::replaceable,
        { false, std::errc::device_or_resource_busy }, Ending::commit, kNew },
    { "FailedRenameOfTheCompleteResultKeepsTheEarlier", Earlier::replaceable,
        { false, std::errc::io_error }, Ending::commit, kOld },
};

TEST(ResultStages, EveryRowIsARunsStepAndLeavesWhatItSays)
{
    if (!kReplacesExisting) GTEST_SKIP() << "this build writes an existing result in place";
    stage_rows_taken = 0;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string name = (dir / "result.txt").string();
        if (row.earlier != Earlier::none) write_file(name, kOld);
        if (row.earlier == Earlier::hard_linked)
            std::filesystem::create_hard_link(name, dir / "second link");
        const SwappedDoor door;
        door.files.allocate = allocate;
        door.folders.rename_over = rename_over;
        faults = row.faults;
        ResultFile result(name);
        ResultOutput& output = result.open();
        bool failed = row.ending == Ending::fail_before_writing;
        if (!failed) {
            output.reserve(kNew.size());
            output.write_at(0, kNew.data(), kNew.size());
            failed = row.ending == Ending::fail_after_writing;
        }
        if (row.ending == Ending::signal_after_writing) {
            take_back_on_signal(); // what the handler does before the process ends
            EXPECT_EQ(std::filesystem::exists(name) ? read_file(name) : "", row.expected);
            continue;
        }
        if (!failed) {
            try {
                output.commit();
            } catch (const std::system_error&) {
                failed = true;
            }
        }
        if (failed) result.abandon();
        const bool there = std::filesystem::exists(name);
        EXPECT_EQ(there ? read_file(name) : "", row.expected);
    }
    const std::bitset<32> all((std::uint64_t { 1 } << std::size(kStageChanges)) - 1);
    EXPECT_EQ(std::bitset<32>(stage_rows_taken), all) << "rows of kStageChanges no run took";
}

} // namespace
