#include "memory.h"

#include <algorithm>
#include <bit>
#include <cstdint>

std::size_t affordable_buffer(std::size_t most, std::size_t least)
{
    // An eighth: the run holds a few such buffers, and the size count's memo takes its share
    // beside them.
    const std::uint64_t share = available_memory() / 8;
    if (share >= most) return most;
    return std::max(least, static_cast<std::size_t>(std::bit_floor(share)));
}
