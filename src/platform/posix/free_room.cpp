#include "free_room.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>

std::uint64_t free_bytes(int fd)
{
    struct statvfs room { };
    if (::fstatvfs(fd, &room) != 0) return 0;
    return static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
}

int check_free_room(int fd, std::uint64_t size)
{
    struct stat info { };
    struct statvfs room { };
    if (::fstat(fd, &info) != 0 || ::fstatvfs(fd, &room) != 0) return errno;
    const auto held = static_cast<std::uint64_t>(info.st_blocks) * 512;
    const std::uint64_t free_room = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
    return size > held && size - held > free_room ? ENOSPC : 0;
}
