// Fuzzes the whole run in memory on arbitrary bytes: read the board, count the result, write
// it, with and without the size count, and hold it to the plain procedure where that is small
// enough to finish.

#include "reference_search.h"
#include "result_size.h"
#include "run.h"

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

std::string result_of(const Board& board, std::uint64_t budget)
{
    RunOptions options;
    options.size_count_budget = budget;
    MemoryStorage storage;
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
    if (king != kNoKing) {
        const auto plan = plan_result(state_of(reading.board, king), kCountBudget);
        if (!plan || plan->file_bytes() > kMaxResultBytes) return 0;
    }
    const std::string counted = result_of(reading.board, RunOptions {}.size_count_budget);
    check(counted == result_of(reading.board, 0));
    try {
        check(counted == reference_result(reading.board, kReferenceSteps));
    } catch (const StepLimitReached&) {
        // Too big for the plain procedure; the two fast ways still agree.
    }
    return 0;
}
