// The result file through the platform door, below the run: what every system's implementation
// must do with a regular file.

#include "program.h"
#include "result_file.h"

#include <gtest/gtest.h>

#include <thread>

namespace fs = std::filesystem;

namespace {

// Where runel can carry an existing result's attributes over, the new result is written beside it
// and replaces it on commit; elsewhere it is written in place.
#if defined(_WIN32) || defined(RUNEL_LINUX_FILES)
constexpr bool kReplacesExisting = true;
#else
constexpr bool kReplacesExisting = false;
#endif

std::vector<std::string> result_only()
{
    return { "result.txt" };
}

TEST(ResultOutput, WritesFromSeveralThreadsAndCopiesWithinTheFile)
{
    TempDir dir;
    const std::string name = (dir / "result.txt").string();
    write_file(name, "an earlier result\n");
    const std::unique_ptr<ResultOutput> output = open_result(name);
    ASSERT_TRUE(output->random_access());
    // Past the step at which the syncs behind the writes begin.
    constexpr std::size_t kPart = 3'000'000;
    output->reserve(4 * kPart);
    std::vector<std::thread> writers;
    for (std::size_t part = 0; part < 3; ++part) {
        writers.emplace_back([&output, part] {
            const std::string bytes(kPart, static_cast<char>('a' + part));
            output->write_at(part * kPart, bytes.data(), bytes.size());
        });
    }
    for (std::thread& writer : writers) writer.join();
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
        const std::unique_ptr<ResultOutput> output = open_result(name);
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
        const std::unique_ptr<ResultOutput> output = open_result(name);
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
