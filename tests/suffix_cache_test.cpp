#include "suffix_cache.h"

#include <gtest/gtest.h>

namespace {

// States with the same occupied squares and the king on another of them follow one another in
// a search (the king lands where a piece stood, a piece stands where it was): a cache that knew
// states by their squares alone would hand one the other's suffix. With two buckets, about half
// of them share the stored state's bucket.
TEST(SuffixCache, FindsAStateOnlyWithItsOwnKingSquare)
{
    SuffixCache cache(1);
    const Mask occupied = 0x00a5'1842'2481'5a00ULL;
    const State stored { occupied & ~bit(9), occupied, 9 };
    cache.store(stored, 0, SuffixCache::kMinLength, 7);
    ASSERT_NE(cache.find(stored), nullptr);
    for (Mask others = occupied & ~bit(stored.king); others != 0; others &= others - 1) {
        const Square king = std::countr_zero(others);
        EXPECT_EQ(cache.find({ occupied & ~bit(king), occupied, king }), nullptr) << king;
    }
}

} // namespace
