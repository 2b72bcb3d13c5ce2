#pragma once

// What only some POSIX systems offer, each with a plain fallback: linux.cpp has the Linux
// versions, portable.cpp what any POSIX system can do. CMake builds one of the two. Some are the
// door's primitives themselves (file_door.h says what they do).

#include "file_door.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

/// A new file in the folder open at `folder_fd`, with no name yet, opened for reading and
/// writing and made as any new file there is made (mode 0666 less the umask, the folder's default
/// ACL), so that nothing is left behind if the process dies before it is named; -1 where the
/// system or the file system cannot make one.
int open_unnamed(int folder_fd);

std::error_code give_name(Handle file, Handle folder, const char* name);

std::error_code rename_no_replace(Handle folder, const char* from, const char* to);
std::uint64_t copy_range(
    Handle from, std::uint64_t from_offset, Handle to, std::uint64_t to_offset, std::uint64_t size);
/// Sets aside the blocks of the file open at `fd` up to `size` bytes without changing its size,
/// so that writing them cannot run out of room: 0 or an errno code, ENOSPC where there is no room
/// and EOPNOTSUPP where the file system cannot (and the file is left as it was).
int allocate_up_front(int fd, std::uint64_t size);

std::string path_of(Handle file, const char* opened_as);

/// Through the descriptor where the system can, else through the name, checked to be the same
/// file.
Handle reopen_read_write(Handle file, const char* name);

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

void start_writeback(Handle file);

/// The start of the process `id`, in the system's own units, and whether it has ended and only
/// waits to be reaped; false where the system does not say (no such process, or no way to ask).
bool process_start(std::uint64_t id, std::uint64_t& started, bool& ended);

/// Asks for huge pages behind a big block of memory; only a hint.
void advise_huge_pages(void* data, std::size_t bytes);

/// True where the file open at `fd` is on a file system kept in memory (tmpfs, ramfs): its
/// blocks are memory, charged to the memory limits of the process that writes them.
bool memory_backed(int fd);
