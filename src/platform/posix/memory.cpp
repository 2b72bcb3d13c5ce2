// Memory on POSIX systems.
#include "memory.h"

#include "cgroup_memory.h"
#include "memory_room.h"
#include "speedups.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

void* map_zeroed(std::size_t bytes)
{
    // Huge pages cover only the whole, aligned ones inside a mapping: a block is placed at such
    // a boundary, and what is asked for beyond it to find one is given back at once.
    constexpr std::size_t kHugePage = std::size_t { 2 } << 20;
    const std::size_t asked = bytes + kHugePage;
    void* memory
        = ::mmap(nullptr, asked, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return nullptr;
    auto* start = static_cast<char*>(memory);
    const std::size_t head
        = (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
    if (head > 0) ::munmap(start, head);
    ::munmap(start + head + bytes, asked - head - bytes);
    // Only a hint: where the kernel has no huge pages to spare, ordinary pages serve.
    advise_huge_pages(start + head, bytes);
    return start + head;
}

void unmap_zeroed(void* data, std::size_t bytes)
{
    ::munmap(data, bytes);
}

void unmap_zeroed_tail(void* data, std::size_t bytes, std::size_t kept)
{
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t from = (kept + page - 1) / page * page;
    if (from < bytes) ::munmap(static_cast<char*>(data) + from, bytes - from);
}

// The files of Linux (/proc, the cgroup file systems); where they are absent, as on the other
// systems, what sysconf() tells.
MemoryRoom memory_room()
{
    MemoryRoom room;
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kilobytes = 0;
    while (meminfo >> key >> kilobytes && key != "MemAvailable:") meminfo.ignore(64, '\n');
    if (key == "MemAvailable:") {
        room.system = kilobytes * 1024;
    } else if (!meminfo.is_open()) {
        const long pages = ::sysconf(_SC_PHYS_PAGES);
        const long page_size = ::sysconf(_SC_PAGESIZE);
        // Without a figure for what is free, half of what there is.
        if (pages > 0 && page_size > 0)
            room.system
                = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / 2;
    }
    std::ifstream self("/proc/self/cgroup");
    const std::string cgroups { std::istreambuf_iterator<char>(self),
        std::istreambuf_iterator<char>() };
    if (const auto group = cgroup_memory_room("/sys/fs/cgroup", cgroups)) {
        // Nothing left is still a figure, not the 0 of "unknown".
        const std::uint64_t left = std::max<std::uint64_t>(*group, 1);
        room.system = room.system == 0 ? left : std::min(room.system, left);
    }
    // Unknown: a small machine assumed. A limit on the process's own size (ulimit -v or -d) ends
    // allocation sooner than the system.
    room.process = room.system == 0 ? std::uint64_t { 1 } << 32 : room.system;
    for (const int resource : { RLIMIT_AS, RLIMIT_DATA }) {
        rlimit limit {};
        if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) continue;
        const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
        std::ifstream statm("/proc/self/statm");
        std::uint64_t pages = 0;
        const std::uint64_t used = std::max(
            statm >> pages ? pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) : 0,
            memory_reserve::kUseUnknown);
        room.process = std::min(room.process, cap > used ? cap - used : 0);
    }
    return room;
}
