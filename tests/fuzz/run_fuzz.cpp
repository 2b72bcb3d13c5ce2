// Fuzzes the whole run in memory on arbitrary bytes: read the board, count the result, write
// it, streamed and held at its prefix until the count (without a memo) has ended, and hold it to
// the plain procedure where that is small enough to finish.

#include "memory_storage.h"
#include "reference_search.h"
#include "result_size.h"
#include "run.h"
#include "search.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr unsigned long long kReferenceSteps = 200'000;
// Results are held in memory here, so boards with bigger ones are only counted.
constexpr std::uint64_t kMaxResultBytes = 256 << 10;
constexpr std::uint64_t kCountBudget = 256 << 10;

void check(bool condition)
{
    if (!condition) std::abort();
}

std::string result_of(const Board& board, std::uint64_t budget, std::uint64_t room)
{
    RunOptions options;
    options.size_count_budget = budget;
    MemoryStorage storage;
    storage.set_room(room);
    write_result(board, storage, options); // throws if the count and the text disagree
    return storage.bytes();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const BoardReading reading
        = read_board_text(std::string(reinterpret_cast<const char*>(data), size));
    if (reading.error) return 0;
    const Position king = damka_cords_find(reading.board);
    std::uint64_t bytes = kNoCapture.size();
    if (king != kNoKing) {
        const auto size = count_result(state_of(reading.board, king), kCountBudget,
            [](std::uint64_t passed) { return passed <= kMaxResultBytes; });
        if (!size || size->file_bytes() > kMaxResultBytes) return 0;
        bytes = size->file_bytes();
    }
    // A room of four times the result leaves a prefix of a quarter of it.
    const std::string counted
        = result_of(reading.board, RunOptions {}.size_count_budget, ~std::uint64_t { 0 });
    check(counted.size() == bytes);
    check(counted == result_of(reading.board, 0, bytes * 4));
    try {
        check(counted == reference_result(reading.board, kReferenceSteps));
    } catch (const StepLimitReached&) {
        // Too big for the plain procedure; the two fast ways still agree.
    }
    return 0;
}
