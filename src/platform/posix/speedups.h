#pragma once

// What only some POSIX systems offer, each with a plain fallback: linux.cpp has the Linux
// versions, portable.cpp what any POSIX system can do. CMake builds one of the two.

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

/// A new file in the folder open at `folder_fd`, with no name yet, opened for reading and
/// writing and made as any new file there is made (mode 0666 less the umask, the folder's default
/// ACL), so that nothing is left behind if the process dies before it is named; -1 where the
/// system or the file system cannot make one.
int open_unnamed(int folder_fd);

/// Gives the file of open_unnamed() the name `name` in the folder open at `folder_fd`; returns 0
/// or an errno code (EEXIST if the name is taken).
int name_unnamed(int fd, int folder_fd, const std::string& name);

/// Renames `from` to `to` in the folder open at `folder_fd` only if `to` is free; 0, or an
/// errno code: EEXIST where it is taken, EOPNOTSUPP where the system cannot promise that.
int rename_without_replacing(int folder_fd, const char* from, const char* to);

/// Copies up to `size` bytes from offset `from` of `in` to offset `to` of `out` without a trip
/// through this process; returns how many were copied, fewer (or none) where the system cannot.
std::uint64_t copy_in_kernel(
    int in, std::uint64_t from, int out, std::uint64_t to, std::uint64_t size);

/// Allocates the file's blocks up to `size` bytes without changing its size, so that writing
/// them cannot run out of room; returns 0 or an errno code (ENOSPC where the file system has no
/// room). Where the file system cannot allocate up front it compares with the free room instead,
/// and never writes the file full to find out.
int allocate_blocks(int fd, std::uint64_t size);

/// The path under which the system knows the file open at `fd`; empty where it cannot say.
std::string path_of(int fd);

/// The file open at `fd`, which was opened as `name`, opened once more for reading and writing:
/// the same file (through the descriptor where the system can, else through the name and checked
/// to be the same file); -1 where that cannot be done or the file may not be read.
int reopen_read_write(int fd, const std::string& name);

/// True where the file open at `fd` is the root of a mount of its own (a file bind-mounted over
/// a name, say), in the folder open at `folder_fd`.
bool is_mount_root(int fd, int folder_fd);

/// True where the folder open at `folder_fd` lets no name in it be replaced or removed
/// (append-only, immutable).
bool folder_is_append_only(int folder_fd);

/// Gives `to` exactly the extended attributes (the ACL among them) and file flags of `from`;
/// true once they match (or neither has any), false where they could not be matched or the
/// system cannot tell.
bool carry_over_attributes(int from, int to);

/// Starts writing the given range of the file (`size` 0: to its end) to the disk in the
/// background, so that a sync at the end has little left to wait for; only a hint.
void start_writeback(int fd, std::uint64_t offset, std::uint64_t size);

/// Asks for huge pages behind a big block of memory; only a hint.
void advise_huge_pages(void* data, std::size_t bytes);

/// Memory the system (and the process's container) can still give, in bytes; 0 if unknown.
std::uint64_t system_memory_available();

/// True where the file open at `fd` is on a file system kept in memory (tmpfs, ramfs): its
/// blocks are memory, charged to the memory limits of the process that writes them.
bool memory_backed(int fd);

/// Processors this process may run on; 0 if the system cannot say.
unsigned processors_allowed();

/// The process's address space in use now, in bytes; 0 if unknown.
std::uint64_t address_space_used();
