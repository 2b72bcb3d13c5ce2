#include "positions.h"
#include "search.h"
#include "search_cases.h"

#include <gtest/gtest.h>

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

} // namespace
