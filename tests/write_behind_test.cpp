// The syncs behind the writes: asked for every so many bytes, all made before stop() returns,
// none after, and a file that cannot be synced is not a failure.

#include <gtest/gtest.h>

#if defined(_WIN32)

TEST(WriteBehind, PosixOnly)
{
    GTEST_SKIP() << "the Windows output syncs its own way";
}

#else

#include "program.h"
#include "write_behind.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Row {
    const char* name;
    bool pipe; // a file that cannot be synced
    std::uint64_t every;
    std::vector<std::uint64_t> noted; // the byte counts noted, in order
    unsigned least_syncs;
    unsigned most_syncs;
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
    int fds[2] = { -1, -1 };
    if (row.pipe) {
        ASSERT_EQ(::pipe(fds), 0);
    } else {
        fds[0] = ::open((dir / "file").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fds[0], 0);
        ASSERT_EQ(::write(fds[0], "some bytes", 10), 10);
    }
    const int fd = row.pipe ? fds[1] : fds[0];
    WriteBehind behind(row.every);
    for (const std::uint64_t bytes : row.noted) behind.note_written(fd, bytes);
    EXPECT_FALSE(behind.stop());
    EXPECT_GE(behind.syncs(), row.least_syncs);
    EXPECT_LE(behind.syncs(), row.most_syncs);
    const unsigned stopped_at = behind.syncs();
    behind.note_written(fd, 4 * row.every);
    EXPECT_FALSE(behind.stop());
    EXPECT_EQ(behind.syncs(), stopped_at) << "nothing after stop()";
    for (const int open : fds)
        if (open >= 0) ::close(open);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteBehindRows,
    testing::Values(Row { "BelowTheStepNoSync", false, 100, { 40, 59 }, 0, 0 },
        Row { "OneStepOneSync", false, 100, { 40, 60 }, 1, 1 },
        // Asks that come while a sync runs make one more sync, not one each.
        Row { "ManyStepsSyncAtLeastOnceAtMostEach", false, 100, { 250, 100, 100, 100 }, 1, 4 },
        Row { "APipeCannotBeSyncedAndIsNoFailure", true, 100, { 100, 100 }, 1, 2 }),
    [](const auto& info) { return info.param.name; });

} // namespace

#endif
