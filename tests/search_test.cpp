#include "big_boards.h"
#include "memory_storage.h"
#include "positions.h"
#include "search.h"
#include "search_cases.h"

#include <gtest/gtest.h>

#include <bit>

namespace {

std::string written_result(const Board& board)
{
    MemoryStorage storage;
    const Position king = damka_cords_find(board);
    const std::uint64_t written = write_captures(state_of(board, king), storage);
    EXPECT_EQ(written, storage.bytes().size());
    return storage.bytes();
}

class WriteCaptures : public testing::TestWithParam<SearchCase> { };

TEST_P(WriteCaptures, WritesTheSettledPaths)
{
    EXPECT_EQ(written_result(position(GetParam().pieces)), result_bytes(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Boards, WriteCaptures, testing::ValuesIn(search_cases()),
    [](const auto& info) { return std::string(info.param.name); });

// Where the border moves, states below where it started are looked up too: the file gets the
// bytes that a pipe, where nothing is looked up, gets.
TEST(WriteCaptures, CopiesWhatItLooksUpAsTheBorderMoves)
{
    const BoardReading reading = read_board_text(kBorderMovingBoard);
    const State start = state_of(reading.board, damka_cords_find(reading.board));
    MemoryStorage file;
    MemoryStorage pipe(false);
    write_captures(start, file);
    write_captures(start, pipe);
    EXPECT_TRUE(file.bytes() == pipe.bytes()) << "the file's result differs from the pipe's";
}

// The search counts pieces without the processor's instruction: every bit of each byte counts.
TEST(SquaresIn, CountsAsThePopulationCount)
{
    for (const Mask mask : { Mask { 0 }, ~Mask { 0 }, bit(0), bit(63),
             Mask { 0x8000000000000001ULL }, Mask { 0x5555555555555555ULL },
             Mask { 0xff00ff00ff00ff00ULL }, Mask { 0x0123456789abcdefULL } })
        EXPECT_EQ(squares_in(mask), std::popcount(mask)) << std::hex << mask;
}

} // namespace
