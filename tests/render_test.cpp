// Rendering a counted result at known offsets: the same bytes as writing it in one stream,
// whatever the number of threads, and a failing storage fails the run without leaving a thread
// waiting.

#include "big_boards.h"
#include "render.h"
#include "search.h"

#include <gtest/gtest.h>

#include <string_view>
#include <system_error>

namespace {

// Two lines: the second copies the first but for its last digit.
constexpr const char* kTwoLineBoard = "  abcdefgh\n"
                                      "8+b++++b+\n"
                                      "7++b+bL+b\n"
                                      "6+++bb+++\n"
                                      "5++++++++\n"
                                      "4++bbbl++\n"
                                      "3+bb+bb++\n"
                                      "2+l+l++++\n"
                                      "1b+++++++\n";

State start_of(std::string_view board_text)
{
    const BoardReading reading = read_board_text(std::string(board_text));
    return state_of(reading.board, damka_cords_find(reading.board));
}

std::string streamed(const State& start)
{
    MemoryStorage pipe(false);
    write_captures(start, pipe);
    return pipe.bytes();
}

void render_into(Storage& storage, const State& start, unsigned threads)
{
    const auto plan = plan_result(start, std::uint64_t { 1 } << 30);
    ASSERT_TRUE(plan);
    storage.reserve(plan->file_bytes());
    EXPECT_EQ(render_result(start, *plan, storage, threads), plan->file_bytes());
}

// Fails every write that reaches past `limit`, as a full disk would.
class FailingStorage final : public Storage {
public:
    explicit FailingStorage(std::uint64_t limit)
        : limit_(limit)
    {
    }
    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        if (offset + size > limit_)
            throw std::system_error(std::make_error_code(std::errc::io_error));
        memory_.write_at(offset, data, size);
    }
    void read_at(std::uint64_t offset, char* data, std::size_t size) override
    {
        memory_.read_at(offset, data, size);
    }
    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override
    {
        if (to + size > limit_) throw std::system_error(std::make_error_code(std::errc::io_error));
        memory_.copy_within(from, to, size);
    }
    void reserve(std::uint64_t size) override { memory_.reserve(size); }

private:
    std::uint64_t limit_;
    MemoryStorage memory_;
};

struct RenderCase {
    const char* name;
    std::string_view board;
    friend void PrintTo(const RenderCase& c, std::ostream* out) { *out << c.name; }
};

class RenderResult : public testing::TestWithParam<RenderCase> { };

TEST_P(RenderResult, AnyNumberOfThreadsGivesTheStreamedBytes)
{
    const State start = start_of(GetParam().board);
    const std::string expected = streamed(start);
    for (const unsigned threads : { 1U, 2U, 3U, 8U }) {
        MemoryStorage storage;
        render_into(storage, start, threads);
        ASSERT_EQ(storage.bytes(), expected) << threads << " threads";
    }
}

TEST_P(RenderResult, AFailingStorageFailsTheRenderingOnEveryThreadCount)
{
    const State start = start_of(GetParam().board);
    const std::uint64_t size = streamed(start).size();
    for (const unsigned threads : { 1U, 2U, 8U }) {
        for (const std::uint64_t limit : { std::uint64_t { 0 }, size / 3, size - 1 }) {
            FailingStorage storage(limit);
            EXPECT_THROW(render_into(storage, start, threads), std::system_error)
                << threads << " threads, failing past " << limit;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, RenderResult,
    testing::Values(RenderCase { "TensOfKilobytes", kTensOfKilobytesBoard },
        RenderCase { "TwoLines", kTwoLineBoard },
        RenderCase { "SeveralMegabytes", kSeveralMegabyteBoard },
        RenderCase { "TensOfMegabytes", kTensOfMegabytesBoard }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
