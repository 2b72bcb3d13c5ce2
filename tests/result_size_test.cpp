#include "big_boards.h"
#include "reference_search.h"
#include "result_size.h"
#include "run.h"
#include "text_mode.h"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

State start_of(const std::string& board_text)
{
    const BoardReading reading = read_board_text(board_text);
    return state_of(reading.board, damka_cords_find(reading.board));
}

std::string result_with_budget(const std::string& board_text, std::uint64_t budget)
{
    RunOptions options;
    options.size_count_budget = budget;
    MemoryStorage storage;
    write_result(read_board_text(board_text).board, storage, options);
    return storage.bytes();
}

TEST(PlanResult, CountsExactlyWhatTheResultHolds)
{
    const std::string expected = reference_result(read_board_text(kTensOfKilobytesBoard).board);
    const auto plan = plan_result(start_of(kTensOfKilobytesBoard), std::uint64_t { 1 } << 30);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->file_bytes(), expected.size());
    EXPECT_EQ(plan->text_length, expected.find(kLineEnd));
}

TEST(PlanResult, AnyBudgetGivesTheExactSizeOrNone)
{
    // From too small for the first table, through budgets where the tables stop growing and
    // fill up, to plenty.
    const State start = start_of(kSeveralMegabyteBoard);
    const auto full = plan_result(start, std::uint64_t { 1 } << 30);
    ASSERT_TRUE(full);
    const std::uint64_t least = full->states * StateTable::kSlotBytes; // full tables
    int known = 0;
    for (const std::uint64_t budget : { std::uint64_t { 0 }, least * 9 / 10, least * 21 / 20,
             least * 3 / 2, least * 2, least * 3, least * 4, least * 6 }) {
        const auto plan = plan_result(start, budget);
        if (!plan) continue;
        ++known;
        EXPECT_LE(plan->table_bytes, budget);
        EXPECT_EQ(plan->file_bytes(), full->file_bytes()) << "budget " << budget;
    }
    EXPECT_GE(known, 3);
    EXPECT_FALSE(plan_result(start, least * 9 / 10)) << "a table cannot hold more than it has";
}

TEST(PlanResult, SameOnAnyNumberOfThreadsWithinItsMemory)
{
    // Each thread fills its own part of every layer; the parts must add up to the same plan, and
    // the tables stay within 32 bytes a state beyond their first, smallest arrays.
    for (const std::string* board :
        { &kTensOfKilobytesBoard, &kSeveralMegabyteBoard, &kTensOfMegabytesBoard }) {
        const State start = start_of(*board);
        const auto alone = plan_result(start, std::uint64_t { 1 } << 30, 1);
        ASSERT_TRUE(alone);
        for (const unsigned threads : { 2U, 7U }) {
            const auto shared = plan_result(start, std::uint64_t { 1 } << 30, threads);
            ASSERT_TRUE(shared);
            EXPECT_EQ(shared->file_bytes(), alone->file_bytes()) << threads << " threads";
            EXPECT_EQ(shared->alternatives.ranks, alone->alternatives.ranks);
            EXPECT_EQ(shared->states, alone->states);
            const auto layers = static_cast<std::uint64_t>(std::popcount(start.enemy)) + 1;
            const std::uint64_t first_arrays = layers * threads * 1024 * StateTable::kSlotBytes;
            EXPECT_LE(shared->table_bytes, 32 * shared->states + first_arrays);
        }
    }
}

TEST(PlanResult, LeavesOutOnlyLayersBelowOneWiderThanItsParents)
{
    // States below the cut-off are searched from each parent instead of kept: that pays only
    // while the layers widen downwards, where they outnumber the parents. The cut-off follows
    // from the states alone, so any number of threads settles the same one.
    int cut = 0;
    for (const std::string* board :
        { &kTensOfKilobytesBoard, &kSeveralMegabyteBoard, &kTensOfMegabytesBoard }) {
        const State start = start_of(*board);
        const auto alone = plan_result(start, std::uint64_t { 1 } << 30, 1);
        ASSERT_TRUE(alone);
        const int fewest_kept = alone->layers->fewest_kept();
        for (const unsigned threads : { 1U, 2U }) {
            const auto plan = plan_result(start, std::uint64_t { 1 } << 30, threads);
            ASSERT_TRUE(plan);
            const StateLayers& layers = *plan->layers;
            EXPECT_EQ(layers.fewest_kept(), fewest_kept) << threads << " threads";
            if (fewest_kept == 0) continue;
            ++cut;
            EXPECT_GT(layers.size(fewest_kept + 1), layers.size(fewest_kept + 2));
            for (int enemies = 1; enemies < fewest_kept; ++enemies)
                EXPECT_EQ(layers.size(enemies), 0U) << enemies << " enemy pieces";
        }
    }
    EXPECT_GT(cut, 0) << "no board left a layer out";
}

// Runs `work`; a hang ends the test program with a message instead of holding the suite.
template <class Work> void within_deadline(std::chrono::seconds deadline, Work&& work)
{
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!finished.wait_for(lock, deadline, [&] { return done; })) {
            std::fputs("the size count hung: no answer before the deadline\n", stderr);
            std::_Exit(1);
        }
    });
    work();
    {
        const std::lock_guard lock(mutex);
        done = true;
    }
    finished.notify_one();
    watchdog.join();
}

TEST(PlanResult, ThreadsStopTogetherWhenTheBudgetRunsOutAtAnyStep)
{
    // Budgets from the first tables' size to the whole count run out on one thread or another
    // at every step of the count; the threads must all stop, and never leave one waiting.
    const State start = start_of(kTensOfMegabytesBoard);
    const auto full = plan_result(start, std::uint64_t { 1 } << 30, 1);
    ASSERT_TRUE(full);
    constexpr int kBudgets = 12;
    int refused = 0;
    for (const unsigned threads : { 2U, 3U }) {
        for (int step = 1; step <= kBudgets; ++step) {
            const std::uint64_t budget = full->table_bytes * step / kBudgets;
            within_deadline(std::chrono::seconds(30), [&] {
                const auto plan = plan_result(start, budget, threads);
                if (!plan) {
                    ++refused;
                    return;
                }
                EXPECT_EQ(plan->file_bytes(), full->file_bytes()) << "budget " << budget;
            });
        }
    }
    EXPECT_GE(refused, kBudgets) << "most budgets are too small for the count";
}

TEST(PlanResult, BudgetTooSmallStillGivesTheRightResult)
{
    // Without a count the result streams out; it must be the same bytes.
    ASSERT_FALSE(plan_result(start_of(kSeveralMegabyteBoard), 64 << 10));
    EXPECT_EQ(result_with_budget(kSeveralMegabyteBoard, 64 << 10),
        result_with_budget(kSeveralMegabyteBoard, std::uint64_t { 1 } << 30));
    EXPECT_EQ(result_with_budget(kTensOfKilobytesBoard, 0),
        reference_result(read_board_text(kTensOfKilobytesBoard).board));
}

} // namespace
