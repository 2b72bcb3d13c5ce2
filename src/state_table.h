#pragma once

#include "builtins.h"
#include "memory.h"
#include "state.h"

#include <cstdint>
#include <optional>

/// What the search from one state appends to the text: its length, and the square it ends on.
struct Suffix {
    std::uint64_t length = 0;
    Square last = 0;
};

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

/// Raised when a StateTable would need more memory than its budget.
struct MemoryBudgetExceeded { };

/// Suffixes by state, in one open-addressed array of 24-byte slots (and a byte of tag each) that
/// grows by half when it is 80% full, within a budget in bytes for the array. (While it grows, the
/// old array, two thirds of the new one at most, lives beside it until its slots are moved.)
class StateTable {
public:
    static constexpr std::uint64_t kMaxLength = (std::uint64_t { 1 } << 52) - 1;
    /// Memory a state takes in the table, not counting the free slots.
    static constexpr std::uint64_t kSlotBytes = 25;

    explicit StateTable(std::uint64_t budget_bytes);
    std::optional<Suffix> find(const State& state) const;
    /// Starts loading the slot where a find for `state` begins.
    void prefetch(const State& state) const;
    /// Records the suffix of a state not yet in the table, if it is at least shortest() long;
    /// `length` is at most kMaxLength.
    void insert(const State& state, Suffix suffix);
    /// The shortest suffix the table keeps: a shorter one costs about as much to count again as
    /// to look up, and leaving such states out keeps the table small.
    std::uint64_t shortest() const { return shortest_; }
    std::uint64_t size() const { return size_; }
    std::uint64_t bytes() const { return capacity_ * kSlotBytes; }

private:
    struct Slot {
        Mask enemy;
        Mask occupied; // 0 marks a free slot: a real state always has its king's square
        std::uint64_t packed; // pack_suffix
    };
    static_assert(sizeof(Slot) + 1 == kSlotBytes);
    static std::uint64_t hash(const State& state);
    static std::uint8_t tag(std::uint64_t hash);
    std::uint64_t home(std::uint64_t hash) const;
    void place(const Slot& slot);
    void grow();

    std::uint64_t budget_;
    std::uint64_t capacity_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t shortest_ = 16;
    bool at_budget_ = false;
    ZeroedArray<Slot> slots_;
    // One byte a slot, a few bits of its state's hash (0: free): a search passes slots whose
    // tag differs without reading them, so that a miss mostly reads only this array.
    ZeroedArray<std::uint8_t> tags_;
};
