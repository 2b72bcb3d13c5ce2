#include "big_boards.h"
#include "memory_storage.h"
#include "reference_search.h"
#include "result_size.h"
#include "run.h"
#include "search.h"
#include "text_mode.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

State start_of(const std::string& board_text)
{
    const BoardReading reading = read_board_text(board_text);
    return state_of(reading.board, damka_cords_find(reading.board));
}

std::uint64_t streamed_bytes(const std::string& board_text)
{
    MemoryStorage storage;
    return write_captures(start_of(board_text), storage);
}

// The result of kHundredsOfGigabytesBoard, as counted once.
constexpr std::uint64_t kHundredsOfGigabytes = 177'380'466'690;

bool go_on(std::uint64_t)
{
    return true;
}

TEST(CountResult, CountsExactlyWhatTheResultHolds)
{
    const std::string expected = reference_result(read_board_text(kTensOfKilobytesBoard).board);
    const auto size = count_result(start_of(kTensOfKilobytesBoard), 1 << 20, go_on);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->file_bytes(), expected.size());
    EXPECT_EQ(size->text_length, expected.find(kLineEnd));
}

TEST(CountResult, AnyMemoryGivesTheExactSize)
{
    // From no memo at all, through one that forgets nearly everything, to plenty.
    const State start = start_of(kSeveralMegabyteBoard);
    const std::uint64_t expected = streamed_bytes(kSeveralMegabyteBoard);
    for (const std::uint64_t memory : { std::uint64_t { 0 }, std::uint64_t { 256 },
             std::uint64_t { 64 } << 10, std::uint64_t { 1 } << 30 }) {
        const auto size = count_result(start, memory, go_on);
        ASSERT_TRUE(size) << memory << " bytes";
        EXPECT_EQ(size->file_bytes(), expected) << memory << " bytes";
    }
}

TEST(CountResult, WatchSeesOnlyGrowingLowerBoundsAndStopsTheCount)
{
    const State start = start_of(kTensOfMegabytesBoard);
    const std::uint64_t expected = streamed_bytes(kTensOfMegabytesBoard);
    std::vector<std::uint64_t> seen;
    const auto size = count_result(start, 64 << 10, [&](std::uint64_t passed) {
        seen.push_back(passed);
        return true;
    });
    ASSERT_TRUE(size);
    ASSERT_GT(seen.size(), 2U);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_LT(seen[i], expected);
        EXPECT_GE(seen[i], i > 0 ? seen[i - 1] : 0);
    }
    int asked = 0;
    EXPECT_FALSE(count_result(start, 64 << 10, [&](std::uint64_t) { return ++asked < 2; }));
    EXPECT_EQ(asked, 2);
}

// A result refused for want of room: with its exact size where it is within the count's budget,
// a few times the room, else with a bound no less than the room; the same words whatever memory
// the count has, and at most the prefix (none for a file written in place) ever written.
struct Refusal {
    const char* name;
    const std::string* board;
    std::uint64_t room;
    bool in_place;
    bool at_least;
};

void PrintTo(const Refusal& row, std::ostream* out)
{
    *out << row.name;
}

class RefusedResult : public testing::TestWithParam<Refusal> { };

TEST_P(RefusedResult, SaysWhatItNeedsWhateverTheMemoryAndWritesAtMostThePrefix)
{
    const Refusal& row = GetParam();
    std::vector<std::uint64_t> said;
    for (const std::uint64_t memory : { std::uint64_t { 256 } << 10, ~std::uint64_t { 0 } }) {
        MemoryStorage storage;
        storage.set_room(row.room);
        storage.set_in_place(row.in_place);
        try {
            write_result(read_board_text(*row.board).board, storage, RunOptions { memory });
            FAIL() << "the result was written";
        } catch (const NoRoomForResult& refusal) {
            EXPECT_EQ(refusal.at_least, row.at_least);
            said.push_back(refusal.bytes);
        }
        EXPECT_LE(storage.bytes().size(), row.in_place ? 0 : row.room / 16);
    }
    ASSERT_EQ(said.size(), 2U);
    EXPECT_EQ(said[0], said[1]) << "the words depend on the count's memory";
    if (row.at_least) {
        EXPECT_GE(said[0], row.room);
        EXPECT_LT(said[0], kHundredsOfGigabytes) << "more than the whole result";
    } else {
        EXPECT_EQ(said[0], streamed_bytes(*row.board));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusedResult,
    testing::Values(Refusal { "NoRoomAtAll", &kTensOfKilobytesBoard, 0, false, false },
        Refusal { "SmallFileSystem", &kSeveralMegabyteBoard, 1 << 20, false, false },
        Refusal { "WrittenInPlace", &kSeveralMegabyteBoard, 1 << 20, true, false },
        Refusal { "FourTimesTheRoom", &kTwoHundredMegabyteBoard, 56 << 20, false, false },
        Refusal { "HundredsOfGigabytes", &kHundredsOfGigabytesBoard, 64 << 20, false, true }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
