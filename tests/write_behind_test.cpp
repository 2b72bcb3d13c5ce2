// The syncs behind the writes: asked for every so many bytes, all made before stop() returns,
// none after, and a file that cannot be synced is not a failure, where one that fails is.

#include "file_door.h"
#include "program.h"
#include "swapped_door.h"
#include "write_behind.h"

#include <gtest/gtest.h>

namespace {

std::error_code sync_answer;

std::error_code sync_data(Handle file)
{
    return sync_answer ? sync_answer : system_file_door().sync_data(file);
}

struct Row {
    const char* name;
    std::error_code answer; // what every sync answers, where set
    std::uint64_t every;
    std::vector<std::uint64_t> noted; // the byte counts noted, in order
    unsigned least_syncs;
    unsigned most_syncs;
    bool fails;
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

class WriteBehindRows : public testing::TestWithParam<Row> { };

TEST_P(WriteBehindRows, SyncsWhatWasAskedForByStop)
{
    const Row& row = GetParam();
    TempDir dir;
    write_file(dir / "file", "some bytes");
    const SwappedDoor door;
    sync_answer = row.answer;
    door.files.sync_data = sync_data;
    Handle file = kNoHandle;
    bool created = false;
    ASSERT_FALSE(door.files.open_existing((dir / "file").string().c_str(), false, file, created));
    {
        WriteBehind behind(row.every);
        for (const std::uint64_t bytes : row.noted) behind.note_written(file, bytes);
        EXPECT_EQ(static_cast<bool>(behind.stop()), row.fails);
        EXPECT_GE(behind.syncs(), row.least_syncs);
        EXPECT_LE(behind.syncs(), row.most_syncs);
        const unsigned stopped_at = behind.syncs();
        behind.note_written(file, 4 * row.every);
        behind.stop();
        EXPECT_EQ(behind.syncs(), stopped_at) << "nothing after stop()";
    }
    door.files.close(file);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteBehindRows,
    testing::Values(Row { "BelowTheStepNoSync", {}, 100, { 40, 59 }, 0, 0, false },
        Row { "OneStepOneSync", {}, 100, { 40, 60 }, 1, 1, false },
        // Asks that come while a sync runs make one more sync, not one each.
        Row { "ManyStepsSyncAtLeastOnceAtMostEach", {}, 100, { 250, 100, 100, 100 }, 1, 4, false },
        Row { "AFileThatCannotBeSyncedIsNoFailure",
            std::make_error_code(std::errc::operation_not_supported), 100, { 100, 100 }, 1, 2,
            false },
        Row { "AFailedSyncIsSaidByStop", std::make_error_code(std::errc::io_error), 100, { 100 }, 1,
            1, true }),
    [](const auto& info) { return info.param.name; });

} // namespace
