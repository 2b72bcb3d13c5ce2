#include "memory_storage.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace {

[[noreturn]] void throw_errno(int code)
{
    throw std::system_error(code, std::generic_category());
}

} // namespace

void MemoryStorage::take_room(std::uint64_t end) const
{
    if (end > room_) throw_errno(ENOSPC);
}

std::uint64_t MemoryStorage::free_room() const
{
    return room_ > bytes_.size() ? room_ - bytes_.size() : 0;
}

void MemoryStorage::write_at(std::uint64_t offset, const char* data, std::size_t size)
{
    take_room(offset + size);
    if (!random_access_ && offset != bytes_.size())
        throw std::logic_error("a pipe takes its bytes in order");
    if (bytes_.size() < offset + size) bytes_.resize(offset + size);
    std::memcpy(bytes_.data() + offset, data, size);
}

void MemoryStorage::reserve(std::uint64_t size)
{
    // As a file's reservation: room, not content.
    take_room(size);
    if (random_access_) bytes_.reserve(size);
}

void MemoryStorage::read_at(std::uint64_t offset, char* data, std::size_t size)
{
    if (!random_access_) throw std::logic_error("a pipe cannot be read back");
    if (offset + size > bytes_.size()) throw_errno(EIO);
    std::memcpy(data, bytes_.data() + offset, size);
}

void MemoryStorage::copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size)
{
    if (!random_access_) throw std::logic_error("a pipe cannot be read back");
    take_room(to + size);
    if (bytes_.size() < to + size) bytes_.resize(to + size);
    std::memcpy(bytes_.data() + to, bytes_.data() + from, size);
}
