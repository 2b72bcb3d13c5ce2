// What any POSIX system can do, behind speedups.h: macOS and the BSDs build this, and so does
// Linux with RUNEL_POSIX_FALLBACKS, so that it is tested here too.
#include "speedups.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

int open_unnamed(const std::string&, mode_t)
{
    return -1;
}

int name_unnamed(int, const std::string&)
{
    return ENOTSUP;
}

std::uint64_t copy_in_kernel(int, std::uint64_t, std::uint64_t, std::uint64_t)
{
    return 0;
}

int allocate_blocks(int fd, std::uint64_t size)
{
    // Not a reservation, but a check: a result that cannot fit is still refused before it is
    // written.
    struct stat info { };
    struct statvfs room { };
    if (::fstat(fd, &info) != 0 || ::fstatvfs(fd, &room) != 0) return errno;
    const auto held = static_cast<std::uint64_t>(info.st_blocks) * 512;
    const std::uint64_t free_bytes = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
    return size > held && size - held > free_bytes ? ENOSPC : 0;
}

void start_writeback(int, std::uint64_t, std::uint64_t) { }

void advise_huge_pages(void*, std::size_t) { }

std::uint64_t system_memory_available()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    // Without a figure for what is free, half of what there is.
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / 2;
}

std::uint64_t address_space_used()
{
    return 0;
}

unsigned processors_allowed()
{
    return 0; // no portable way to learn a pinning: every processor is taken as usable
}
