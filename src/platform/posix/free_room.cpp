#include "free_room.h"

#include "speedups.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace {

// What the run still needs beside a file in memory once its room is taken: the rendering's
// buffers and caches.
constexpr std::uint64_t kLeftForTheRun = std::uint64_t { 32 } << 20;

// The memory a file in memory may still take. Swap is not counted: where there is none, a file
// past the memory left ends in the process being killed.
std::uint64_t memory_for_files()
{
    const std::uint64_t available = system_memory_available();
    if (available == 0) return std::numeric_limits<std::uint64_t>::max(); // unknown
    return available > kLeftForTheRun ? available - kLeftForTheRun : 0;
}

std::uint64_t held_bytes(const struct stat& info)
{
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
}

// The room `room` describes, for the file open at `fd`.
std::uint64_t room_for(int fd, const struct statvfs& room)
{
    const std::uint64_t free_room = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
    if (!memory_backed(fd)) return free_room;
    // A file system in memory without a size of its own (ramfs, a tmpfs of size 0) has no room
    // but the memory's.
    const std::uint64_t memory = memory_for_files();
    return room.f_blocks == 0 ? memory : std::min(free_room, memory);
}

} // namespace

std::uint64_t free_bytes(int fd)
{
    struct statvfs room { };
    if (::fstatvfs(fd, &room) != 0) return 0;
    return room_for(fd, room);
}

int check_free_room(int fd, std::uint64_t size)
{
    struct stat info { };
    struct statvfs room { };
    if (::fstat(fd, &info) != 0 || ::fstatvfs(fd, &room) != 0) return errno;
    const std::uint64_t held = held_bytes(info);
    return size > held && size - held > room_for(fd, room) ? ENOSPC : 0;
}

int check_memory_room(int fd, std::uint64_t size)
{
    struct stat info { };
    if (!memory_backed(fd) || ::fstat(fd, &info) != 0) return 0;
    const std::uint64_t held = held_bytes(info);
    return size > held && size - held > memory_for_files() ? ENOSPC : 0;
}
