#include "state_table.h"

namespace {

constexpr std::uint64_t kInitialCapacity = 1 << 12;
constexpr std::uint64_t kThinFrom = std::uint64_t { 128 } << 20;

std::uint64_t mix(std::uint64_t x)
{
    x ^= x >> 31;
    x *= 0x9e3779b97f4a7c15ULL;
    x ^= x >> 29;
    return x;
}

} // namespace

StateTable::StateTable(std::uint64_t budget_bytes)
    : budget_(budget_bytes)
{
    grow();
}

std::uint64_t StateTable::hash(const State& state)
{
    return mix(state.enemy * 0xff51afd7ed558ccdULL
        ^ mix(state.occupied + static_cast<unsigned>(state.king)));
}

std::uint64_t StateTable::home(std::uint64_t hash) const
{
    // Maps the hash onto [0, capacity) without a division, so the capacity need not be a power
    // of 2.
    return multiply_high(hash, capacity_);
}

std::uint8_t StateTable::tag(std::uint64_t hash)
{
    // Bits that home() hardly uses; never 0, which marks a free slot.
    return static_cast<std::uint8_t>(hash | 0x80);
}

std::optional<Suffix> StateTable::find(const State& state) const
{
    const std::uint64_t h = hash(state);
    const std::uint8_t wanted = tag(h);
    for (std::uint64_t i = home(h);; i = i + 1 == capacity_ ? 0 : i + 1) {
        const std::uint8_t seen = tags_[i];
        if (seen == 0) return std::nullopt;
        if (seen != wanted) continue;
        const Slot& slot = slots_[i];
        if (slot.occupied == state.occupied && slot.enemy == state.enemy
            && unpacked_king(slot.packed) == state.king) {
            return unpacked_suffix(slot.packed);
        }
    }
}

void StateTable::prefetch(const State& state) const
{
    const std::uint64_t i = home(hash(state));
    ::prefetch(&tags_[i]);
    ::prefetch(&slots_[i]);
}

void StateTable::insert(const State& state, Suffix suffix)
{
    if (suffix.length < shortest_) return;
    // Grows when 80% full; where the budget allows no growth, fills up to 95% before it gives
    // up, since a slower table beats an unknown size.
    if ((size_ + 1) * 5 > capacity_ * 4 && !at_budget_) grow();
    if (suffix.length < shortest_) return;
    if ((size_ + 1) * 20 > capacity_ * 19) throw MemoryBudgetExceeded {};
    place({ state.enemy, state.occupied, pack_suffix(suffix, state.king) });
    ++size_;
}

void StateTable::place(const Slot& slot)
{
    const std::uint64_t h = hash({ slot.enemy, slot.occupied, unpacked_king(slot.packed) });
    std::uint64_t i = home(h);
    while (tags_[i] != 0) i = i + 1 == capacity_ ? 0 : i + 1;
    tags_[i] = tag(h);
    slots_[i] = slot;
}

void StateTable::grow()
{
    const std::uint64_t most = budget_ / kSlotBytes;
    std::uint64_t capacity = capacity_ == 0 ? kInitialCapacity : capacity_ + capacity_ / 2;
    if (capacity * kSlotBytes > kThinFrom) {
        // A big table holds states of every length, and the short ones are the cheapest to
        // count again: each growth past this size forgets the shorter half of what it keeps,
        // and where that leaves the table less than half full it keeps its size.
        shortest_ *= 2;
        std::uint64_t kept = 0;
        for (std::uint64_t i = 0; i < capacity_; ++i)
            kept += tags_[i] != 0 && unpacked_suffix(slots_[i].packed).length >= shortest_;
        if (kept * 5 < capacity_ * 2) capacity = capacity_;
    }
    if (capacity > most) {
        // The last growth takes what is left of the budget.
        capacity = most;
        at_budget_ = true;
        if (capacity < capacity_ || capacity < kInitialCapacity) throw MemoryBudgetExceeded {};
    }
    ZeroedArray<Slot> old = std::move(slots_);
    ZeroedArray<std::uint8_t> old_tags = std::move(tags_);
    const std::uint64_t old_capacity = capacity_;
    slots_ = ZeroedArray<Slot>(capacity);
    tags_ = ZeroedArray<std::uint8_t>(capacity);
    if (!slots_ || !tags_) throw MemoryBudgetExceeded {};
    capacity_ = capacity;
    size_ = 0;
    for (std::uint64_t i = 0; i < old_capacity; ++i) {
        if (old_tags[i] == 0 || unpacked_suffix(old[i].packed).length < shortest_) continue;
        place(old[i]);
        ++size_;
    }
}
