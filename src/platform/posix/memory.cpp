// Memory on POSIX systems.
#include "memory.h"
#include "processors.h"

#include "speedups.h"

#include <algorithm>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <utility>

namespace {

// Blocks this big are mapped from the system directly, and asked for huge pages; smaller ones
// come from calloc, which reuses freed memory instead of faulting in fresh pages each time.
constexpr std::size_t kMappedFrom = std::size_t { 32 } << 20;

constexpr std::uint64_t kUnknownUse = std::uint64_t { 16 } << 20;

void release(void* data, std::size_t bytes)
{
    if (data == nullptr) return;
    if (bytes >= kMappedFrom)
        ::munmap(data, bytes);
    else
        std::free(data);
}

} // namespace

ZeroedBlock::ZeroedBlock(std::size_t bytes)
{
    if (bytes == 0) return;
    if (bytes < kMappedFrom) {
        data_ = std::calloc(bytes, 1);
    } else {
        void* memory
            = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return;
        // Only a hint: where the kernel has no huge pages to spare, ordinary pages serve.
        advise_huge_pages(memory, bytes);
        data_ = memory;
    }
    if (data_ != nullptr) bytes_ = bytes;
}

ZeroedBlock::~ZeroedBlock()
{
    release(data_, bytes_);
}

ZeroedBlock::ZeroedBlock(ZeroedBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr))
    , bytes_(std::exchange(other.bytes_, 0))
{
}

ZeroedBlock& ZeroedBlock::operator=(ZeroedBlock&& other) noexcept
{
    if (this != &other) {
        release(data_, bytes_);
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
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
        // Where the size in use cannot be read, leave room for the program's own needs.
        const std::uint64_t used = std::max(address_space_used(), kUnknownUse);
        available = std::min(available, cap > used ? cap - used : 0);
    }
    return available;
}

unsigned usable_processors()
{
    const unsigned allowed = processors_allowed();
    if (allowed > 0) return allowed;
    return std::max(1U, std::thread::hardware_concurrency());
}
