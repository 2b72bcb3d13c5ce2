#include "storage.h"

#include "memory.h"

#include <algorithm>
#include <cstring>

Appender::Appender(Storage& storage)
    : storage_(storage)
    , buffer_size_(affordable_buffer(kMostBuffer, kLeastBuffer))
    , kept_(buffer_size_ / 8)
    , buffer_(new char[buffer_size_])
{
}

void Appender::append(const char* data, std::size_t size)
{
    while (size > 0) {
        if (used_ == buffer_size_) flush();
        const std::size_t part = std::min(size, buffer_size_ - used_);
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
        if (used_ == buffer_size_) flush();
        auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer_size_ - used_));
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
    if (used_ > kept_) {
        std::memmove(buffer_.get(), buffer_.get() + (used_ - kept_), kept_);
        window_start_ = end - kept_;
        used_ = kept_;
    }
}
