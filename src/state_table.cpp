#include "state_table.h"

#include <utility>

namespace {

constexpr std::uint64_t kInitialCapacity = 1 << 10;

StateTable::Slot* aligned(StateTable::Slot* slots)
{
    const auto address = reinterpret_cast<std::uintptr_t>(slots);
    return slots + (-address & 63) / sizeof(StateTable::Slot);
}

} // namespace

StateTable::StateTable(MemoryBudget& budget)
    : budget_(budget)
{
}

StateTable::~StateTable()
{
    budget_.give_back(bytes());
}

StateTable::StateTable(StateTable&& other) noexcept
    : budget_(other.budget_)
    , capacity_(std::exchange(other.capacity_, 0))
    , size_(std::exchange(other.size_, 0))
    , at_budget_(other.at_budget_)
    , memory_(std::move(other.memory_))
    , slots_(std::exchange(other.slots_, nullptr))
{
}

void StateTable::insert(Mask occupied, Square king, std::uint64_t hash)
{
    // Grows when 80% full; where the budget allows no growth, fills up to 95% before it gives
    // up, since a slower table beats an unknown size.
    if ((size_ + 1) * 5 > capacity_ * 4 && !at_budget_) grow();
    if ((size_ + 1) * 20 > capacity_ * 19) throw MemoryBudgetExceeded {};
    Slot* slot = probe(occupied, king, hash);
    if (slot->occupied != 0) return;
    *slot = { occupied, pack_suffix({}, king) };
    ++size_;
}

void StateTable::grow()
{
    // Doubling moves each state about once in all; growing by less would move them more often,
    // and each move is a write at random.
    std::uint64_t capacity = capacity_ == 0 ? kInitialCapacity : capacity_ * 2;
    // While the slots move, both arrays are held.
    if (!budget_.take(capacity * kSlotBytes)) {
        // The last growth takes what is left of the budget.
        capacity = budget_.left() / kSlotBytes;
        capacity -= capacity % kSlotsPerLine;
        at_budget_ = true;
        if (capacity <= capacity_ || capacity < kInitialCapacity) return;
        if (!budget_.take(capacity * kSlotBytes)) return;
    }
    ZeroedArray<Slot> grown(capacity + kSlotsPerLine);
    if (!grown) {
        budget_.give_back(capacity * kSlotBytes);
        throw MemoryBudgetExceeded {};
    }
    const ZeroedArray<Slot> old = std::exchange(memory_, std::move(grown));
    const Slot* old_slots = std::exchange(slots_, aligned(memory_.get()));
    const std::uint64_t old_capacity = std::exchange(capacity_, capacity);
    for (std::uint64_t i = 0; i < old_capacity; ++i) {
        const Slot& slot = old_slots[i];
        if (slot.occupied == 0) continue;
        const Square king = unpacked_king(slot.packed);
        *probe(slot.occupied, king, hash(slot.occupied, king)) = slot;
    }
    budget_.give_back(old_capacity * kSlotBytes);
}
