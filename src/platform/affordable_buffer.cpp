#include "memory.h"
#include "memory_room.h"

#include <algorithm>
#include <bit>
#include <cstdint>

std::size_t affordable_buffer(std::size_t most, std::size_t least)
{
    const std::uint64_t share = available_memory() / memory_reserve::kBufferShare;
    if (share >= most) return most;
    return std::max(least, static_cast<std::size_t>(std::bit_floor(share)));
}
