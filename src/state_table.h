#pragma once

#include "builtins.h"
#include "memory.h"
#include "state.h"

#include <atomic>
#include <cstdint>

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

/// Raised when the tables would need more memory than their budget.
struct MemoryBudgetExceeded { };

/// Bytes that several tables share, growing from several threads; each takes its part before
/// it grows.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t limit)
        : limit_(limit)
    {
    }
    /// Takes `bytes` if they are left; false, taking nothing, if not.
    bool take(std::uint64_t bytes)
    {
        std::uint64_t used = used_.load(std::memory_order_relaxed);
        do {
            if (bytes > limit_ - used) return false;
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }
    void give_back(std::uint64_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    std::uint64_t left() const { return limit_ - used_.load(std::memory_order_relaxed); }
    std::uint64_t used() const { return used_.load(std::memory_order_relaxed); }

private:
    std::uint64_t limit_;
    std::atomic<std::uint64_t> used_ { 0 };
};

/// A set of states with their suffixes, in one open-addressed array of 16-byte slots that
/// doubles when it is 80% full, as far as its budget allows. A state is its occupied squares and
/// its king's square: which of the pieces are enemies follows from where the search started, so
/// the owner of the table keeps that. (While the array grows, the old one lives beside the new
/// one until its slots are moved; the budget counts both.)
class StateTable {
public:
    static constexpr std::uint64_t kMaxLength = (std::uint64_t { 1 } << 52) - 1;
    static constexpr std::uint64_t kSlotBytes = 16;

    struct Slot {
        Mask occupied; // 0 marks a free slot: a real state always has its king's square
        std::uint64_t packed; // pack_suffix; the suffix is 0 until it is set
    };

    explicit StateTable(MemoryBudget& budget);
    ~StateTable();
    StateTable(StateTable&&) noexcept;
    StateTable& operator=(StateTable&&) = delete;
    StateTable(const StateTable&) = delete;
    StateTable& operator=(const StateTable&) = delete;

    static std::uint64_t hash(Mask occupied, Square king)
    {
        std::uint64_t x = occupied + static_cast<std::uint64_t>(king) * 0x9e3779b97f4a7c15ULL;
        x = (x ^ (x >> 33)) * 0xff51afd7ed558ccdULL;
        x = (x ^ (x >> 33)) * 0xc4ceb9fe1a85ec53ULL;
        return x ^ (x >> 33);
    }

    /// Adds the state, with an empty suffix, if it is not there yet; `hash` is hash(occupied,
    /// king).
    void insert(Mask occupied, Square king, std::uint64_t hash);
    /// The slot of the state, or nullptr.
    const Slot* find(Mask occupied, Square king, std::uint64_t hash) const
    {
        if (capacity_ == 0) return nullptr;
        const Slot* slot = probe(occupied, king, hash);
        return slot->occupied != 0 ? slot : nullptr;
    }
    /// Starts loading the slot where a find for the state of `hash` begins.
    void prefetch(std::uint64_t hash) const
    {
        if (capacity_ != 0) ::prefetch(&slots_[home(hash)]);
    }

    /// The slots, in no useful order; free ones have `occupied` 0. A slot's suffix may be set
    /// in place, its state must stay.
    Slot* slots() { return slots_; }
    const Slot* slots() const { return slots_; }
    std::uint64_t capacity() const { return capacity_; }
    std::uint64_t size() const { return size_; }
    std::uint64_t bytes() const { return capacity_ * kSlotBytes; }

private:
    static constexpr std::uint64_t kSlotsPerLine = 64 / sizeof(Slot);
    // The first slot of a cache line: a search then reads that whole line before it needs the
    // next one, and most end there. The hash is mapped onto the lines without a division, so
    // their number need not be a power of 2.
    std::uint64_t home(std::uint64_t hash) const
    {
        return multiply_high(hash, capacity_ / kSlotsPerLine) * kSlotsPerLine;
    }
    // The state's slot, or the free slot where it would go; the table has one free slot at least.
    Slot* probe(Mask occupied, Square king, std::uint64_t hash) const
    {
        for (std::uint64_t i = home(hash);; i = i + 1 == capacity_ ? 0 : i + 1) {
            Slot& slot = slots_[i];
            if (slot.occupied == 0
                || (slot.occupied == occupied && unpacked_king(slot.packed) == king))
                return &slot;
        }
    }
    void grow();

    MemoryBudget& budget_;
    std::uint64_t capacity_ = 0;
    std::uint64_t size_ = 0;
    bool at_budget_ = false;
    ZeroedArray<Slot> memory_; // a line more than the slots, to align them
    Slot* slots_ = nullptr; // the first slot on a cache line's start
};
