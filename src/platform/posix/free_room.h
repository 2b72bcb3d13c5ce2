#pragma once

// The free room of a file system, for every POSIX system.

#include <cstdint>

/// Bytes the file system that holds the file open at `fd` still gives to this user; 0 if the
/// system cannot say.
std::uint64_t free_bytes(int fd);

/// Whether the file open at `fd` can grow to `size` bytes, counting the blocks it holds already
/// with the free room: 0, ENOSPC, or the errno code of a failed query. Only a check: for file
/// systems that cannot allocate blocks up front.
int check_free_room(int fd, std::uint64_t size);
