// Boards for the benchmark, found by the count, and the plain size count that runel's refusals
// are timed against.
//
//   runel_boards generate SEED COUNT DIR   COUNT fresh boards with results of 100 to 300 MB,
//                                          written to DIR as fresh_SEED_N.txt
//   runel_boards huge SEED COUNT DIR       COUNT boards whose results pass 10 GB, written to DIR
//                                          as huge_SEED_N.txt, each with its size where the count
//                                          ends within a minute
//   runel_boards plain-count               the result's size for Runel_in.txt, by a plain count:
//                                          one thread, every state with more than a few enemy
//                                          pieces remembered for good, no text

#include "board.h"
#include "result_file.h"
#include "result_size.h"
#include "search.h"
#include "state_key.h"
#include "text_mode.h"
#include "walk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numeric>
#include <random>
#include <string>
#include <unordered_map>

namespace {

constexpr std::uint64_t kLeast = 100'000'000;
constexpr std::uint64_t kMost = 300'000'000;
constexpr std::uint64_t kHuge = std::uint64_t { 10 } << 30;
constexpr std::uint64_t kMemo = std::uint64_t { 256 } << 20;

// Three kinds in turn: enemy men only; enemy men and kings with own men in the way; fewer enemy
// men, whose states recur more.
std::string random_board(std::mt19937_64& random, int kind)
{
    auto below = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    std::array<char, 64> cells {};
    cells.fill('+');
    std::array<int, 64> order {};
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    std::size_t next = 0;
    cells[static_cast<std::size_t>(order[next++])] = 'L';
    const int enemies = kind == 2 ? 16 + below(3) : 18 + below(4);
    const int own_men = kind == 1 ? 2 + below(5) : 0;
    for (int i = 0; i < enemies; ++i)
        cells[static_cast<std::size_t>(order[next++])] = kind == 1 && below(3) == 0 ? 'B' : 'b';
    for (int i = 0; i < own_men; ++i) cells[static_cast<std::size_t>(order[next++])] = 'l';
    std::string text = "  abcdefgh\n";
    for (std::size_t row = 0; row < 8; ++row) {
        text += static_cast<char>('8' - row);
        for (std::size_t col = 0; col < 8; ++col) text += cells[row * 8 + col];
        text += '\n';
    }
    return text;
}

State start_of(const std::string& text)
{
    const BoardReading reading = read_board_text(text);
    return state_of(reading.board, damka_cords_find(reading.board));
}

// The size of the board's result if the count ends within `seconds` and `most` bytes; else
// the bytes it passed, with `exact` false.
std::uint64_t counted(const State& start, double seconds, std::uint64_t most, bool& exact)
{
    const auto begun = std::chrono::steady_clock::now();
    std::uint64_t passed = 0;
    const auto size = count_result(start, kMemo, [&](std::uint64_t bytes) {
        passed = bytes;
        return bytes <= most
            && std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count()
            < seconds;
    });
    exact = size.has_value();
    return size ? size->file_bytes() : passed;
}

int generate(std::uint64_t seed, int count, const std::string& dir, bool huge)
{
    std::mt19937_64 random(seed);
    for (int found = 0, tried = 0; found < count; ++tried) {
        const std::string text = random_board(random, tried % 3);
        bool exact = false;
        const std::uint64_t bytes
            = counted(start_of(text), huge ? 60 : 10, huge ? ~std::uint64_t { 0 } : kMost, exact);
        if (huge ? bytes < kHuge : !exact || bytes < kLeast) continue;
        const std::string name = dir + (huge ? "/huge_" : "/fresh_") + std::to_string(seed) + "_"
            + std::to_string(found++) + ".txt";
        std::ofstream(name) << text;
        std::cout << name << (exact ? " " : " more than ") << bytes << " bytes" << std::endl;
    }
    return 0;
}

// What the search from a state appends, each state with more than kFewPieces enemy pieces
// worked out once.
class PlainCount : public TextLength {
public:
    using TextLength::TextLength;
    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        if (!worth_remembering(next)) return extend(next, *this);
        const StateKey key = key_of(next);
        if (const auto known = known_.find(key); known != known_.end())
            return append_known(known->second);
        const std::uint64_t start = length_;
        const bool captured = extend(next, *this);
        known_.emplace(key, Suffix { length_ - start, last_ });
        return captured;
    }

private:
    struct KeyHash {
        std::size_t operator()(const StateKey& key) const
        {
            return static_cast<std::size_t>(hash_of(key));
        }
    };
    std::unordered_map<StateKey, Suffix, KeyHash> known_;
};

int plain_count()
{
    const BoardReading reading = read_board_file("Runel_in.txt");
    if (reading.error) return 1;
    const Position king = damka_cords_find(reading.board);
    std::uint64_t bytes = kNoCapture.size();
    if (king != kNoKing) {
        const State start = state_of(reading.board, king);
        PlainCount count(start.king);
        Alternatives alternatives;
        if (extend(start, count, &alternatives)) {
            const auto lines = static_cast<std::uint64_t>(
                std::popcount(line_digits(alternatives, count.last_square())));
            bytes = lines * (count.length() + kLineEnd.size());
        }
    }
    std::printf("%llu\n", static_cast<unsigned long long>(bytes));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if ((command == "generate" || command == "huge") && argc == 5)
        return generate(std::stoull(argv[2]), std::stoi(argv[3]), argv[4], command == "huge");
    if (command == "plain-count" && argc == 2) return plain_count();
    std::cerr << "usage: runel_boards generate|huge SEED COUNT DIR | plain-count\n";
    return 2;
}
