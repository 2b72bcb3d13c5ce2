// The search on fixed boards: counting the result's size, and writing it into memory.

#include "memory_storage.h"
#include "result_size.h"
#include "search.h"

#include <benchmark/benchmark.h>

namespace {

State board_state(const char* name)
{
    const BoardReading reading = read_board_file(std::string(RUNEL_BENCH_BOARDS) + "/" + name);
    if (reading.error) throw std::runtime_error(std::string("cannot read board ") + name);
    return state_of(reading.board, damka_cords_find(reading.board));
}

void count_size(benchmark::State& bench, const char* name)
{
    const State start = board_state(name);
    std::optional<ResultSize> size;
    for (auto _ : bench) {
        size = count_result(start, std::uint64_t { 1 } << 30, [](std::uint64_t) { return true; });
        benchmark::DoNotOptimize(size->file_bytes());
    }
    bench.counters["result_bytes"] = static_cast<double>(size->file_bytes());
}

void write_into_memory(benchmark::State& bench, const char* name)
{
    const State start = board_state(name);
    std::uint64_t bytes = 0;
    for (auto _ : bench) {
        MemoryStorage storage;
        bytes = write_captures(start, storage);
        benchmark::DoNotOptimize(storage.bytes().data());
    }
    bench.SetBytesProcessed(static_cast<std::int64_t>(bytes * bench.iterations()));
}

BENCHMARK_CAPTURE(count_size, 40k, "03_40k.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(count_size, 4m, "05_4m.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(count_size, 40m, "06_40m.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(count_size, 250m, "07_250m.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(count_size, 220m, "08_220m.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(count_size, 230m, "09_230m.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(count_size, 300m, "10_300m.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write_into_memory, 40k, "03_40k.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write_into_memory, 4m, "05_4m.txt")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write_into_memory, 40m, "06_40m.txt")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
