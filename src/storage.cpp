#include "storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

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

void copy_through_buffer(Storage& storage, std::uint64_t from, std::uint64_t to, std::uint64_t size)
{
    std::vector<char> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 20)));
    while (size > 0) {
        const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
        storage.read_at(from, chunk.data(), part);
        storage.write_at(to, chunk.data(), part);
        from += part;
        to += part;
        size -= part;
    }
}

Appender::Appender(Storage& storage)
    : storage_(storage)
    , buffer_(new char[kBufferSize])
{
}

void Appender::append(const char* data, std::size_t size)
{
    while (size > 0) {
        if (used_ == kBufferSize) flush();
        const std::size_t part = std::min(size, kBufferSize - used_);
        std::memcpy(buffer_.get() + used_, data, part);
        used_ += part;
        data += part;
        size -= part;
    }
}

void Appender::append_copy(std::uint64_t offset, std::uint64_t size)
{
    if (size >= kDirectCopyMin && !in_memory(offset)) {
        flush();
        storage_.copy_within(offset, flushed_, size);
        flushed_ += size;
        window_start_ = flushed_;
        used_ = 0;
        return;
    }
    while (size > 0) {
        if (used_ == kBufferSize) flush();
        auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size, kBufferSize - used_));
        if (in_memory(offset)) {
            // The source ends where the copy starts at the latest: the ranges never overlap.
            std::memcpy(buffer_.get() + used_, buffer_.get() + (offset - window_start_), part);
        } else {
            // What follows the part written out may still be in memory.
            part = static_cast<std::size_t>(std::min<std::uint64_t>(part, window_start_ - offset));
            storage_.read_at(offset, buffer_.get() + used_, part);
        }
        used_ += part;
        offset += part;
        size -= part;
    }
}

void Appender::flush()
{
    const std::uint64_t end = size();
    storage_.write_at(flushed_, buffer_.get() + (flushed_ - window_start_),
        static_cast<std::size_t>(end - flushed_));
    flushed_ = end;
    if (used_ > kKept) {
        std::memmove(buffer_.get(), buffer_.get() + (used_ - kKept), kKept);
        window_start_ = end - kKept;
        used_ = kKept;
    }
}
