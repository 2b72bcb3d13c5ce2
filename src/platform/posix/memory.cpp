// Memory on POSIX systems.
#include "memory.h"

#include <cstdlib>
#include <sys/mman.h>
#include <utility>

namespace {

// Blocks this big are mapped from the system directly, and asked for huge pages; smaller ones
// come from calloc, which reuses freed memory instead of faulting in fresh pages each time.
constexpr std::size_t kMappedFrom = std::size_t { 32 } << 20;

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
        ::madvise(memory, bytes, MADV_HUGEPAGE);
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
    return std::uint64_t { 1 } << 40;
}
