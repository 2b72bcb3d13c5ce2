// Memory on Windows.
#include "memory.h"
#include "processors.h"

#include <windows.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <utility>

namespace {

// Blocks this big come from the system directly, already zeroed and committed page by page as
// they are touched; smaller ones from calloc, which reuses freed memory.
constexpr std::size_t kMappedFrom = std::size_t { 32 } << 20;

void release(void* data, std::size_t bytes)
{
    if (data == nullptr) return;
    if (bytes >= kMappedFrom)
        ::VirtualFree(data, 0, MEM_RELEASE);
    else
        std::free(data);
}

} // namespace

ZeroedBlock::ZeroedBlock(std::size_t bytes)
{
    if (bytes == 0) return;
    if (bytes < kMappedFrom)
        data_ = std::calloc(bytes, 1);
    else
        data_ = ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
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
    // Physical memory not in use, and no more than the commit charge still allows (a job's
    // limit shows up there too).
    MEMORYSTATUSEX status {};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return std::uint64_t { 1 } << 30;
    return std::min(status.ullAvailPhys, status.ullAvailPageFile);
}

unsigned usable_processors()
{
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &process_mask, &system_mask)
        && process_mask != 0)
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process_mask)));
    return std::max(1U, std::thread::hardware_concurrency());
}
