// The fast search against the plain procedure, on generated boards: the same result file, byte
// for byte, and a size count that matches it exactly.

#include "board_generator.h"
#include "memory_storage.h"
#include "plain_search.h"
#include "reference_search.h"
#include "result_size.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdio>

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

        // A file system four times the result: the writer stops at the prefix, a sixteenth of
        // that, until the count on another thread has ended. In place, it waits from the start.
        for (const bool in_place : { false, true }) {
            MemoryStorage small;
            small.set_room(expected.size() * 4);
            small.set_in_place(in_place);
            write_result(reading.board, small);
            ASSERT_EQ(small.bytes(), expected)
                << "seed " << seed << (in_place ? " in place\n" : " counted\n") << text;
        }
        const Position king = damka_cords_find(reading.board);
        if (king == kNoKing) continue;
        // A memo of one bucket forgets nearly everything, and must still count exactly.
        for (const std::uint64_t memory : { std::uint64_t { 64 }, std::uint64_t { 1 } << 20 }) {
            const auto size = count_result(
                state_of(reading.board, king), memory, [](std::uint64_t) { return true; });
            ASSERT_TRUE(size);
            ASSERT_EQ(size->file_bytes(), expected.size()) << "seed " << seed << "\n" << text;
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

// The result of the plain search, which remembers nothing.
std::string plain_result(const Board& board)
{
    std::FILE* file = std::tmpfile();
    write_plain_result(board, file);
    std::string bytes(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    std::fclose(file);
    return bytes;
}

// Crowded boards, whose results of megabytes the stream writes largely by copying what it wrote
// before for a state met again: a cache that took one state for another would write wrong bytes
// that the boards above, with their few pieces, seldom lead it to.
TEST(Differential, StreamMatchesThePlainSearchOnDenseBoards)
{
    constexpr int kBoards = 40;
    constexpr std::uint64_t kLeast = std::uint64_t { 1 } << 20;
    constexpr std::uint64_t kMost = std::uint64_t { 50 } << 20;
    std::uint64_t bytes = 0;
    for (std::uint64_t seed = 1, compared = 0; compared < kBoards; ++seed) {
        const std::string text = dense_board_file(seed);
        const Board board = read_board_text(text).board;
        const auto size = count_result(state_of(board, damka_cords_find(board)),
            std::uint64_t { 16 } << 20, [](std::uint64_t passed) { return passed < kMost; });
        if (!size || size->file_bytes() < kLeast || size->file_bytes() > kMost) continue;
        MemoryStorage stream;
        write_result(board, stream);
        const std::string plain = plain_result(board);
        ASSERT_TRUE(stream.bytes() == plain) << "seed " << seed << ": first difference at byte "
                                             << std::mismatch(plain.begin(), plain.end(),
                                                    stream.bytes().begin(), stream.bytes().end())
                                                    .first
                - plain.begin() << "\n" << text;
        ++compared;
        bytes += plain.size();
    }
    std::cout << kBoards << " dense boards, " << (bytes >> 20) << " MB compared\n";
}

} // namespace
