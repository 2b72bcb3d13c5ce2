#include "memory_room.h"

#include "memory.h"

#include <algorithm>
#include <bit>

namespace {

std::uint64_t weighed(const FileRoom& room)
{
    const std::uint64_t memory = room.in_memory ? memory_room().system : 0; // 0: unknown
    if (memory == 0) return room.free;
    using memory_reserve::kBesideAFileInMemory;
    return std::min(room.free, memory > kBesideAFileInMemory ? memory - kBesideAFileInMemory : 0);
}

} // namespace

std::uint64_t file_room(Handle file)
{
    return weighed(file_door().free_room(file));
}

std::error_code allocate_in_room(Handle file, std::uint64_t size)
{
    const FileDoor& door = file_door();
    const FileRoom room = size > 0 ? door.free_room(file) : FileRoom {};
    const std::uint64_t held = room.in_memory ? door.held_bytes(file) : size;
    if (size > held && size - held > weighed(room))
        return std::make_error_code(std::errc::no_space_on_device);
    return door.allocate(file, size);
}

std::size_t affordable_buffer(std::size_t most, std::size_t least)
{
    const std::uint64_t share = available_memory() / memory_reserve::kBufferShare;
    if (share >= most) return most;
    return std::max(least, static_cast<std::size_t>(std::bit_floor(share)));
}
