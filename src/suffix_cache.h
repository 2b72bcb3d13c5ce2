#pragma once

#include "builtins.h"
#include "state_key.h"
#include "walk.h"
#include "zeroed_array.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

/// A suffix and the king square of its state in one word: length << 12 | last << 6 | king.
inline std::uint64_t pack_suffix(Suffix suffix, Square king)
{
    return suffix.length << 12 | static_cast<std::uint64_t>(suffix.last) << 6
        | static_cast<std::uint64_t>(king);
}
inline Suffix unpacked_suffix(std::uint64_t packed)
{
    return { packed >> 12, static_cast<Square>((packed >> 6) & 63) };
}
inline Square unpacked_king(std::uint64_t packed)
{
    return static_cast<Square>(packed & 63);
}

/// Suffixes already written, by state, so that a state reached again (through the same captures
/// in another order, say) is copied from the output instead of being searched again. Bounded and
/// lossy: a state's entry lies in one bucket of two, one cache line, and a full bucket forgets
/// the shorter of its suffixes, the cheaper to search again. A miss only costs the search.
class SuffixCache {
public:
    struct Entry {
        Mask occupied; // with the king's square, the state's key; 0: free
        std::uint64_t packed; // pack_suffix
        std::uint64_t offset; // where the suffix starts in the output
    };

    // Shorter suffixes are cheaper to search again than to look up and copy.
    static constexpr std::uint64_t kMinLength = 48;

    /// A cache of 2^`bucket_bits` buckets of 64 bytes.
    explicit SuffixCache(int bucket_bits = affordable_bucket_bits())
        : shift_(64 - bucket_bits)
        , buckets_(ZeroedArray<Bucket>(std::size_t { 1 } << bucket_bits))
    {
        if (!buckets_) throw std::bad_alloc();
    }

    const Entry* find(const State& state) const
    {
        for (const Entry& entry : buckets_[slot(state)].ways) {
            if (StateKey { entry.occupied, unpacked_king(entry.packed) } == key_of(state))
                return &entry;
        }
        return nullptr;
    }

    /// Starts loading the bucket where `state` would be.
    void prefetch(const State& state) const { ::prefetch(&buckets_[slot(state)]); }

    void store(const State& state, std::uint64_t offset, std::uint64_t length, Square last)
    {
        Entry* ways = buckets_[slot(state)].ways;
        Entry& victim
            = unpacked_suffix(ways[0].packed).length <= unpacked_suffix(ways[1].packed).length
            ? ways[0]
            : ways[1];
        victim = { state.occupied, pack_suffix({ length, last }, state.king), offset };
    }

    /// 4 MB of buckets, or fewer where memory is short.
    static int affordable_bucket_bits()
    {
        return std::countr_zero(
            affordable_buffer(std::size_t { 4 } << 20, std::size_t { 64 } << 10) / sizeof(Bucket));
    }

private:
    // One cache line, as blocks of 2 MB or more start on a huge page.
    struct alignas(64) Bucket {
        Entry ways[2];
    };

    std::size_t slot(const State& state) const
    {
        return static_cast<std::size_t>(hash_of(key_of(state)) >> shift_);
    }

    int shift_;
    ZeroedArray<Bucket> buckets_;
};
