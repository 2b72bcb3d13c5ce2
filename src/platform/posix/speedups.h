#pragma once

// What only some POSIX systems offer, each with a plain fallback: linux.cpp has the Linux
// versions, portable.cpp what any POSIX system can do. CMake builds one of the two.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

/// A new file in `folder` that has no name yet, opened for reading and writing with `mode`, so
/// that nothing is left behind if the process dies before name_unnamed(); -1 where the system or
/// the file system cannot make one.
int open_unnamed(const std::string& folder, mode_t mode);

/// Gives the file of open_unnamed() the name `path`; returns 0 or an errno code (EEXIST if the
/// name is taken).
int name_unnamed(int fd, const std::string& path);

/// Copies up to `size` bytes from `from` to `to` within the file without a trip through this
/// process; returns how many were copied, fewer (or none) where the system cannot.
std::uint64_t copy_in_kernel(int fd, std::uint64_t from, std::uint64_t to, std::uint64_t size);

/// Allocates the file's blocks up to `size` bytes, so that writing them cannot run out of room;
/// returns 0 or an errno code (ENOSPC where the file system has no room). Where the system cannot
/// allocate up front it checks the free room instead.
int allocate_blocks(int fd, std::uint64_t size);

/// Starts writing the given range of the file (`size` 0: to its end) to the disk in the
/// background, so that a sync at the end has little left to wait for; only a hint.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t size);

/// Asks for huge pages behind a big block of memory; only a hint.
void advise_huge_pages(void* data, std::size_t bytes);

/// Memory the system (and the process's container) can still give, in bytes; 0 if unknown.
std::uint64_t system_memory_available();

/// Processors this process may run on; 0 if the system cannot say.
unsigned processors_allowed();

/// The process's address space in use now, in bytes; 0 if unknown.
std::uint64_t address_space_used();
