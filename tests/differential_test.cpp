// The fast search against the plain procedure, on generated boards: the same result file, byte
// for byte, and a size count that matches it exactly.

#include "board_generator.h"
#include "reference_search.h"
#include "render.h"
#include "result_size.h"
#include "run.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kBoards = 5000;
// Steps the plain procedure may take on one board; boards that need more are not compared.
constexpr unsigned long long kStepLimit = 20'000'000;

TEST(Differential, FastSearchMatchesThePlainProcedure)
{
    std::uint64_t capped = 0;
    std::uint64_t with_captures = 0;
    std::uint64_t several_lines = 0;
    for (std::uint64_t seed = 1; seed <= kBoards; ++seed) {
        const std::string text = generated_board_file(seed);
        const BoardReading reading = read_board_text(text);
        ASSERT_FALSE(reading.error) << "seed " << seed;
        std::string expected;
        try {
            expected = reference_result(reading.board, kStepLimit);
        } catch (const StepLimitReached&) {
            ++capped;
            continue;
        }
        MemoryStorage storage;
        write_result(reading.board, storage);
        ASSERT_EQ(storage.bytes(), expected) << "seed " << seed << "\n" << text;
        MemoryStorage pipe(false); // in order, never read back: what a pipe or device gets
        write_result(reading.board, pipe);
        ASSERT_EQ(pipe.bytes(), expected) << "seed " << seed << " into a pipe\n" << text;

        const Position king = damka_cords_find(reading.board);
        if (king == kNoKing) continue;
        const State start = state_of(reading.board, king);
        // Counted on three threads here, on as many as there are processors in write_result.
        const auto plan = plan_result(start, std::uint64_t { 1 } << 30, 3);
        ASSERT_TRUE(plan);
        ASSERT_EQ(plan->file_bytes(), expected.size()) << "seed " << seed << "\n" << text;
        for (const unsigned threads : { 1U, 3U }) {
            MemoryStorage rendered;
            rendered.reserve(plan->file_bytes());
            render_result(start, *plan, rendered, threads);
            ASSERT_EQ(rendered.bytes(), expected)
                << "seed " << seed << ", " << threads << " threads\n"
                << text;
        }
        with_captures += expected != "No";
        several_lines += std::count(expected.begin(), expected.end(), '\n') > 1;
    }
    RecordProperty("capped", static_cast<int>(capped));
    std::cout << kBoards << " boards: " << capped << " capped, " << with_captures
              << " with captures, " << several_lines << " with several lines\n";
    EXPECT_LE(capped * 10, kBoards) << "too many boards were too big for the plain procedure";
    EXPECT_GT(with_captures * 2, kBoards) << "the generator makes too few boards with captures";
    EXPECT_GT(several_lines, kBoards / 100) << "the generator makes too few multi-line results";
}

} // namespace
