// Heavy boards for the benchmark, and where their time goes.
//
//   runel_boards generate SEED COUNT DIR   COUNT fresh boards with results of 100 to 300 MB,
//                                          written to DIR as fresh_SEED_N.txt
//   runel_boards phases FILE...            per board: result bytes, remembered states, and the
//                                          seconds of the size count and of the writing, each
//                                          with its processor seconds, and the seconds of the
//                                          final sync (to a file Runel_phases.txt in the working
//                                          directory)

#include "result_file.h"
#include "render.h"
#include "result_size.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr std::uint64_t kLeast = 100'000'000;
constexpr std::uint64_t kMost = 300'000'000;
// The count's table for boards of this size stays far below this; bigger ones are not heavy
// boards but huge ones.
constexpr std::uint64_t kBudget = std::uint64_t { 512 } << 20;

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

int generate(std::uint64_t seed, int count, const std::string& dir)
{
    std::mt19937_64 random(seed);
    for (int found = 0, tried = 0; found < count; ++tried) {
        const std::string text = random_board(random, tried % 3);
        const State start = start_of(text);
        const auto plan = plan_result(start, kBudget, std::thread::hardware_concurrency());
        if (!plan || plan->too_long || plan->file_bytes() < kLeast || plan->file_bytes() > kMost)
            continue;
        const std::string name
            = dir + "/fresh_" + std::to_string(seed) + "_" + std::to_string(found++) + ".txt";
        std::ofstream(name) << text;
        std::cout << name << " " << plan->file_bytes() << " bytes\n";
    }
    return 0;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int phases(int files, char** names)
{
    for (int i = 0; i < files; ++i) {
        std::ifstream file(names[i]);
        std::stringstream text;
        text << file.rdbuf();
        const State start = start_of(text.str());
        const auto counting = std::chrono::steady_clock::now();
        const std::clock_t count_cpu = std::clock();
        auto plan = plan_result(start, kBudget, std::thread::hardware_concurrency());
        const double count_seconds = seconds_since(counting);
        if (!plan) {
            std::cout << names[i] << " too many states to count\n";
            continue;
        }
        const std::uint64_t bytes = plan->file_bytes();
        const std::uint64_t states = plan->states;
        const auto writing = std::chrono::steady_clock::now();
        const std::clock_t write_cpu = std::clock();
        const auto output = open_result("Runel_phases.txt");
        output->reserve(bytes);
        render_result(start, std::move(*plan), *output, std::thread::hardware_concurrency());
        const std::clock_t synced_cpu = std::clock();
        const auto syncing = std::chrono::steady_clock::now();
        output->commit();
        const double sync_seconds = seconds_since(syncing);
        // Processor seconds beside the wall's: where they fall short of the cores, threads wait.
        // The writing includes its final sync, the wait before the result is put in place.
        std::printf("%s %llu bytes %llu states count %.3f s (cpu %.3f s) write %.3f s (cpu %.3f "
                    "s) final-sync %.3f s\n",
            names[i], static_cast<unsigned long long>(bytes),
            static_cast<unsigned long long>(states), count_seconds,
            static_cast<double>(write_cpu - count_cpu) / CLOCKS_PER_SEC, seconds_since(writing),
            static_cast<double>(synced_cpu - write_cpu) / CLOCKS_PER_SEC, sync_seconds);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "generate" && argc == 5)
        return generate(std::stoull(argv[2]), std::stoi(argv[3]), argv[4]);
    if (command == "phases") return phases(argc - 2, argv + 2);
    std::cerr << "usage: runel_boards generate SEED COUNT DIR | phases FILE...\n";
    return 2;
}
