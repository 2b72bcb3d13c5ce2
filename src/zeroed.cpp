#include "zeroed.h"

#include <sys/mman.h>
#include <utility>

namespace {

constexpr std::size_t kHugePagesFrom = std::size_t { 32 } << 20;

} // namespace

ZeroedBlock::ZeroedBlock(std::size_t bytes)
{
    if (bytes == 0) return;
    void* memory
        = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    // Only a hint: where the kernel has no huge pages to spare, ordinary pages serve.
    if (bytes >= kHugePagesFrom) ::madvise(memory, bytes, MADV_HUGEPAGE);
    data_ = memory;
    bytes_ = bytes;
}

ZeroedBlock::~ZeroedBlock()
{
    if (data_ != nullptr) ::munmap(data_, bytes_);
}

ZeroedBlock::ZeroedBlock(ZeroedBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr))
    , bytes_(std::exchange(other.bytes_, 0))
{
}

ZeroedBlock& ZeroedBlock::operator=(ZeroedBlock&& other) noexcept
{
    if (this != &other) {
        if (data_ != nullptr) ::munmap(data_, bytes_);
        data_ = std::exchange(other.data_, nullptr);
        bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
}
