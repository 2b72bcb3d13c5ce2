#pragma once

// The run's memory: what each part of it keeps free beside what it takes, named once, and the
// room for a file whose blocks are memory (tmpfs), which the file system's room alone overstates.

#include "file_door.h"

#include <cstdint>
#include <system_error>

namespace memory_reserve {

inline constexpr std::uint64_t kMegabyte = std::uint64_t { 1 } << 20;
/// The least a run needs to write: less, and touching the writer's buffers would end the process.
inline constexpr std::uint64_t kToWrite = 4 * kMegabyte;
/// What the run needs beside the size count's memo: the writer's buffers and caches, and the
/// first of the result where it is kept in memory.
inline constexpr std::uint64_t kBesideTheMemo = 16 * kMegabyte;
/// What the process is taken to use where its size cannot be read.
inline constexpr std::uint64_t kUseUnknown = 16 * kMegabyte;
/// What the run still needs beside a file in memory once its room is taken: the rendering's
/// buffers and caches.
inline constexpr std::uint64_t kBesideAFileInMemory = 32 * kMegabyte;
/// A buffer takes no more than this share of the memory: the run holds a few such buffers, and
/// the size count's memo takes its share beside them.
inline constexpr std::uint64_t kBufferShare = 8;

} // namespace memory_reserve

/// What the file open at `file` may still grow by: the file system's room, and where that is
/// memory, no more than the memory left beside the run's reserve (swap not counted: past it the
/// process is killed, not told).
std::uint64_t file_room(Handle file);

/// The door's allocate(), refused (no_space_on_device) where the file is in memory and the room
/// left there is too small: a file system in memory charges its blocks to the memory limits at
/// once, and past them the process is killed instead of told.
std::error_code allocate_in_room(Handle file, std::uint64_t size);
