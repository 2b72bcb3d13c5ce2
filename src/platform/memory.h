#pragma once

#include <cstddef>
#include <cstdint>

/// Bytes of memory the process can still take before the system (or its container, or a limit
/// set on the process) refuses it or kills the process; a cautious estimate.
std::uint64_t available_memory();

/// `bytes` (a big block) of zero-filled memory straight from the system, whose pages cost nothing
/// until they are touched, or nullptr; asked to be backed by huge pages where the system has them,
/// since the tables that use such blocks are read at random and would otherwise spend their time
/// on address translation.
void* map_zeroed(std::size_t bytes);

/// Gives back a block of map_zeroed().
void unmap_zeroed(void* data, std::size_t bytes);
