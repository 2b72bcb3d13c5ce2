#include "reserving_storage.h"

#include <algorithm>
#include <system_error>

namespace {

// Room is asked for in steps of this much at least, and of half what is reserved already, so
// that a long result asks only a few dozen times.
constexpr std::uint64_t kLeastStep = std::uint64_t { 64 } << 20;

} // namespace

ReservingStorage::ReservingStorage(Storage& storage)
    : storage_(storage)
{
    const std::uint64_t room = storage.free_room();
    // Divided first, so that an unbounded room cannot wrap around.
    limit_ = room / kShareOfFreeRoomDenominator * kShareOfFreeRoomNumerator
        + room % kShareOfFreeRoomDenominator * kShareOfFreeRoomNumerator
            / kShareOfFreeRoomDenominator;
}

void ReservingStorage::reach(std::uint64_t end)
{
    if (end <= reserved_) return;
    if (end > limit_) throw RoomRunsOut { limit_ };
    const std::uint64_t step = std::max(kLeastStep, reserved_ / 2);
    const std::uint64_t next = std::min(limit_, std::max(end, reserved_ + step));
    try {
        storage_.reserve(next);
    } catch (const std::system_error& failure) {
        // Others took the room in the meantime.
        if (failure.code() == std::errc::no_space_on_device) throw RoomRunsOut { reserved_ };
        throw;
    }
    reserved_ = next;
}

void ReservingStorage::write_at(std::uint64_t offset, const char* data, std::size_t size)
{
    reach(offset + size);
    storage_.write_at(offset, data, size);
}

void ReservingStorage::read_at(std::uint64_t offset, char* data, std::size_t size)
{
    storage_.read_at(offset, data, size);
}

void ReservingStorage::copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size)
{
    reach(to + size);
    storage_.copy_within(from, to, size);
}

void ReservingStorage::reserve(std::uint64_t size)
{
    reach(size);
}
