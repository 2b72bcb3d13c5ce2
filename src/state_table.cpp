#include "state_table.h"

namespace {

constexpr std::uint64_t kInitialCapacity = 1 << 12;

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

std::uint64_t StateTable::home(const State& state) const
{
    const std::uint64_t hash = mix(state.enemy * 0xff51afd7ed558ccdULL
        ^ mix(state.occupied + static_cast<unsigned>(state.king)));
    // Maps the hash onto [0, capacity) without a division, so the capacity need not be a power
    // of 2.
    return multiply_high(hash, capacity_);
}

std::optional<Suffix> StateTable::find(const State& state) const
{
    for (std::uint64_t i = home(state);; i = i + 1 == capacity_ ? 0 : i + 1) {
        const Slot& slot = slots_[i];
        if (slot.occupied == 0) return std::nullopt;
        if (slot.occupied == state.occupied && slot.enemy == state.enemy
            && unpacked_king(slot.packed) == state.king) {
            return unpacked_suffix(slot.packed);
        }
    }
}

void StateTable::insert(const State& state, Suffix suffix)
{
    // Grows when 80% full; where the budget allows no growth, fills up to 95% before it gives
    // up, since a slower table beats an unknown size.
    if ((size_ + 1) * 5 > capacity_ * 4 && !at_budget_) grow();
    if ((size_ + 1) * 20 > capacity_ * 19) throw MemoryBudgetExceeded {};
    std::uint64_t i = home(state);
    while (slots_[i].occupied != 0) i = i + 1 == capacity_ ? 0 : i + 1;
    slots_[i] = { state.enemy, state.occupied, pack_suffix(suffix, state.king) };
    ++size_;
}

void StateTable::grow()
{
    const std::uint64_t most = budget_ / sizeof(Slot);
    std::uint64_t capacity = capacity_ == 0 ? kInitialCapacity : capacity_ + capacity_ / 2;
    if (capacity > most) {
        // The last growth takes what is left of the budget.
        capacity = most;
        at_budget_ = true;
        if (capacity <= capacity_ || capacity < kInitialCapacity) throw MemoryBudgetExceeded {};
    }
    ZeroedArray<Slot> old = std::move(slots_);
    const std::uint64_t old_capacity = capacity_;
    slots_ = ZeroedArray<Slot>(capacity);
    if (!slots_) throw MemoryBudgetExceeded {};
    capacity_ = capacity;
    for (std::uint64_t i = 0; i < old_capacity; ++i) {
        const Slot& slot = old[i];
        if (slot.occupied == 0) continue;
        std::uint64_t j = home({ slot.enemy, slot.occupied, unpacked_king(slot.packed) });
        while (slots_[j].occupied != 0) j = j + 1 == capacity_ ? 0 : j + 1;
        slots_[j] = slot;
    }
}
