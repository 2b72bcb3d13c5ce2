#include "count_memo.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

constexpr std::uint64_t kMegabyte = std::uint64_t { 1 } << 20;

// The memory the memo sees, as a test sets it.
std::uint64_t room_now = 0;
std::uint64_t room_set_by_the_test()
{
    return room_now;
}

// A memo of CountMemo::kFirstBytes, weighing a room that falls short of what the rest of the
// run needs by `short_by`: it gives back halves until what it gave back covers that, and no
// half more, and still finds what it kept with what was stored.
struct Shortfall {
    const char* name;
    std::uint64_t short_by;
    std::uint64_t kept; // what the memo holds after
};

class MemoGivingBack : public testing::TestWithParam<Shortfall> { };

TEST_P(MemoGivingBack, GivesBackWhatFallsShortAndKeepsTheRest)
{
    const Shortfall& row = GetParam();
    room_now = std::uint64_t { 1 } << 30;
    CountMemo memo(CountMemo::kFirstBytes, room_set_by_the_test);
    ASSERT_EQ(memo.bytes(), CountMemo::kFirstBytes);
    std::mt19937_64 random(7);
    std::vector<State> states(1000);
    for (State& state : states) {
        state.king = static_cast<Square>(random() % 64);
        state.occupied = random() | bit(state.king);
        memo.store(state, hash_of(key_of(state)), { state.occupied >> 40, state.king }, 1);
    }
    room_now = CountMemo::kLeftForTheRest - row.short_by;
    memo.fit_room();
    EXPECT_EQ(memo.bytes(), row.kept);
    int found = 0;
    for (const State& state : states) {
        const std::optional<Suffix> suffix = memo.find(state, hash_of(key_of(state)));
        found += suffix.has_value();
        EXPECT_TRUE(!suffix || suffix->length == state.occupied >> 40);
    }
    EXPECT_GT(found, row.kept > 0 ? 500 : -1);
}

// Each halving of 4 MB gives back 2 MB, then 1 MB, and so on.
INSTANTIATE_TEST_SUITE_P(Rows, MemoGivingBack,
    testing::Values(Shortfall { "NothingShort", 0, 4 * kMegabyte },
        Shortfall { "OneHalvingCovers", 2 * kMegabyte, 2 * kMegabyte },
        Shortfall { "TwoHalvingsCover", 2 * kMegabyte + 1, 1 * kMegabyte },
        Shortfall { "ThreeHalvingsCover", 3 * kMegabyte + 1, kMegabyte / 2 },
        Shortfall { "NoHalvingsCoverAll", 4 * kMegabyte, 0 },
        Shortfall { "NoRoomAtAll", CountMemo::kLeftForTheRest, 0 }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
