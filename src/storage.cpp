#include "storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void throw_errno(int code)
{
    throw std::system_error(code, std::generic_category());
}

} // namespace

void FileStorage::write_at(std::uint64_t offset, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) throw_errno(errno);
        if (done == 0) throw_errno(EIO);
        data += done;
        size -= static_cast<std::size_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
}

void FileStorage::read_at(std::uint64_t offset, char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = ::pread(fd_, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) throw_errno(errno);
        if (done == 0) throw_errno(EIO); // the bytes were written before: a short file is a fault
        data += done;
        size -= static_cast<std::size_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
}

void FileStorage::copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size)
{
    // The kernel copies without a trip through user space where the file system allows it.
    while (size > 0) {
        auto in = static_cast<loff_t>(from);
        auto out = static_cast<loff_t>(to);
        const ssize_t done = ::copy_file_range(fd_, &in, fd_, &out, size, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break; // not supported here, or nothing copied: finish by hand
        from += static_cast<std::uint64_t>(done);
        to += static_cast<std::uint64_t>(done);
        size -= static_cast<std::uint64_t>(done);
    }
    std::vector<char> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 20)));
    while (size > 0) {
        const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
        read_at(from, chunk.data(), part);
        write_at(to, chunk.data(), part);
        from += part;
        to += part;
        size -= part;
    }
}

void FileStorage::reserve(std::uint64_t size)
{
    if (size == 0) return;
    const int code = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
    if (code != 0) throw_errno(code);
}

void MemoryStorage::write_at(std::uint64_t offset, const char* data, std::size_t size)
{
    if (bytes_.size() < offset + size) bytes_.resize(offset + size);
    std::memcpy(bytes_.data() + offset, data, size);
}

void MemoryStorage::read_at(std::uint64_t offset, char* data, std::size_t size)
{
    if (offset + size > bytes_.size()) throw_errno(EIO);
    std::memcpy(data, bytes_.data() + offset, size);
}

void MemoryStorage::copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size)
{
    if (bytes_.size() < to + size) bytes_.resize(to + size);
    std::memcpy(bytes_.data() + to, bytes_.data() + from, size);
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
    if (size >= kDirectCopyMin) {
        flush();
        storage_.copy_within(offset, flushed_, size);
        flushed_ += size;
        return;
    }
    while (size > 0) {
        if (used_ == kBufferSize) flush();
        const auto part
            = static_cast<std::size_t>(std::min<std::uint64_t>(size, kBufferSize - used_));
        if (offset >= flushed_) {
            // Still in the buffer: the source lies before the end, so the ranges never overlap.
            std::memcpy(buffer_.get() + used_, buffer_.get() + (offset - flushed_), part);
        } else {
            const auto from_file
                = static_cast<std::size_t>(std::min<std::uint64_t>(part, flushed_ - offset));
            storage_.read_at(offset, buffer_.get() + used_, from_file);
            std::memcpy(buffer_.get() + used_ + from_file, buffer_.get(), part - from_file);
        }
        used_ += part;
        offset += part;
        size -= part;
    }
}

void Appender::flush()
{
    storage_.write_at(flushed_, buffer_.get(), used_);
    flushed_ += used_;
    used_ = 0;
}
