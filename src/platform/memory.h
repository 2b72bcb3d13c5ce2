#pragma once

#include <cstddef>
#include <cstdint>

/// Bytes of memory still to be had, as the system tells it: `system`, what the machine and every
/// memory cgroup around the process still give (0 where unknown); `process`, what this process
/// can still take before the system, its container or a limit set on the process (ulimit -v,
/// -d) refuses it or kills the process, a cautious estimate.
struct MemoryRoom {
    std::uint64_t system = 0;
    std::uint64_t process = 0;
};
MemoryRoom memory_room();

inline constexpr auto available_memory = [] { return memory_room().process; };

/// The size of a buffer of `most` bytes or less (a power of two, as `least` is): no more than a
/// small share of the memory there is (memory_room.h), down to `least`, so that a run under a
/// small limit keeps within it.
std::size_t affordable_buffer(std::size_t most, std::size_t least);

/// `bytes` (a big block) of zero-filled memory straight from the system, whose pages cost nothing
/// until they are touched, or nullptr; asked to be backed by huge pages where the system has them,
/// since the tables that use such blocks are read at random and would otherwise spend their time
/// on address translation.
void* map_zeroed(std::size_t bytes);

/// Gives back a block of map_zeroed().
void unmap_zeroed(void* data, std::size_t bytes);

/// Gives back the pages of a block of map_zeroed() past its first `kept` bytes, keeping those;
/// the block is then `kept` bytes long.
void unmap_zeroed_tail(void* data, std::size_t bytes, std::size_t kept);
