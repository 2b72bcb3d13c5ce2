// Memory on Windows.
#include "memory.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

// Already zeroed, and committed page by page as it is touched.
void* map_zeroed(std::size_t bytes)
{
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_zeroed(void* data, std::size_t)
{
    ::VirtualFree(data, 0, MEM_RELEASE);
}

// The tail stays reserved, uncommitted, until the whole block is released.
void unmap_zeroed_tail(void* data, std::size_t bytes, std::size_t kept)
{
    constexpr std::size_t kPage = 4096;
    const std::size_t from = (kept + kPage - 1) / kPage * kPage;
    if (from < bytes) ::VirtualFree(static_cast<char*>(data) + from, bytes - from, MEM_DECOMMIT);
}

MemoryRoom memory_room()
{
    // Physical memory not in use, and no more than the commit charge still allows (a job's
    // limit shows up there too); unknown, a small machine assumed.
    MEMORYSTATUSEX status {};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return { 0, std::uint64_t { 1 } << 30 };
    const std::uint64_t available = std::min(status.ullAvailPhys, status.ullAvailPageFile);
    return { available, available };
}
