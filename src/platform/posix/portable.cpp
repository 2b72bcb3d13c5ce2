// What any POSIX system can do, behind speedups.h: macOS and the BSDs build this, and so does
// Linux with RUNEL_POSIX_FALLBACKS, so that it is tested here too.
#include "speedups.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int open_unnamed(int)
{
    return -1;
}

std::error_code give_name(Handle, Handle, const char*)
{
    return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code rename_no_replace(Handle, const char*, const char*)
{
    return std::make_error_code(std::errc::operation_not_supported);
}

std::uint64_t copy_range(Handle, std::uint64_t, Handle, std::uint64_t, std::uint64_t)
{
    return 0;
}

bool process_start(std::uint64_t, std::uint64_t&, bool&)
{
    return false; // no portable way to ask: a process is known by its number alone
}

int allocate_up_front(int, std::uint64_t)
{
    // posix_fallocate would change the file's size, and where the file system cannot allocate,
    // some C libraries emulate it by writing the file full.
    return EOPNOTSUPP;
}

std::string path_of(Handle, const char* opened_as)
{
    return opened_as;
}

Handle reopen_read_write(Handle file, const char* name)
{
    // O_NONBLOCK: should the name lead to a FIFO by now, it must not wait for a writer.
    const int again = ::open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (again < 0) return -1;
    const FileDoor& door = system_file_door();
    FileId first;
    FileId second;
    if (door.identify(file, first) || door.identify(again, second) || !same_file(first, second)
        || ::fcntl(again, F_SETFL, ::fcntl(again, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(again);
        return -1;
    }
    return again;
}

bool is_mount_root(int fd, int folder_fd)
{
    struct stat info { };
    struct stat folder { };
    return ::fstat(fd, &info) != 0 || ::fstat(folder_fd, &folder) != 0
        || info.st_dev != folder.st_dev;
}

bool folder_is_append_only(int folder_fd)
{
#if defined(UF_APPEND) // the BSDs and macOS keep a file's flags in its status
    struct stat folder { };
    return ::fstat(folder_fd, &folder) == 0
        && (folder.st_flags & (UF_APPEND | UF_IMMUTABLE | SF_APPEND | SF_IMMUTABLE)) != 0;
#else
    (void)folder_fd;
    return false;
#endif
}

bool carry_over_attributes(int, int)
{
    return false; // no portable way to list extended attributes and ACLs
}

void start_writeback(Handle) { }

void advise_huge_pages(void*, std::size_t) { }

bool memory_backed(int)
{
    return false; // no portable way to tell a file system's kind
}
