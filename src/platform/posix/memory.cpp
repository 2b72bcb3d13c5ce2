// Memory on POSIX systems.
#include "memory.h"

#include "speedups.h"

#include <algorithm>
#include <cstdint>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Where the size in use cannot be read, room left for the program's own needs.
constexpr std::uint64_t kUnknownUse = std::uint64_t { 16 } << 20;

} // namespace

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

std::uint64_t available_memory()
{
    std::uint64_t available = system_memory_available();
    if (available == 0) available = std::uint64_t { 1 } << 32; // unknown: assume a small machine
    // A limit on the process's own size (ulimit -v or -d) ends allocation sooner than the system.
    for (const int resource : { RLIMIT_AS, RLIMIT_DATA }) {
        rlimit limit {};
        if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) continue;
        const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
        const std::uint64_t used = std::max(address_space_used(), kUnknownUse);
        available = std::min(available, cap > used ? cap - used : 0);
    }
    return available;
}
