#pragma once

// The free room of a file system, for every POSIX system.

#include <cstdint>

/// Bytes the file system that holds the file open at `fd` still gives to this user; where it is
/// kept in memory (tmpfs, ramfs), no more than the memory limits still allow. 0 if the system
/// cannot say.
std::uint64_t free_bytes(int fd);

/// Whether the file open at `fd` can grow to `size` bytes, counting the blocks it holds already
/// with the free room (free_bytes): 0, ENOSPC, or the errno code of a failed query. Only a check:
/// for file systems that cannot allocate blocks up front.
int check_free_room(int fd, std::uint64_t size);

/// Whether the memory limits let the file open at `fd` grow to `size` bytes, where its file
/// system is kept in memory: 0 or ENOSPC. Asked before its blocks are allocated, since each is
/// memory charged to the process at once: past a cgroup's limit the process would be killed
/// rather than told.
int check_memory_room(int fd, std::uint64_t size);
