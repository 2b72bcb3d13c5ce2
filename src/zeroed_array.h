#pragma once

#include "memory.h"

#include <cstddef>
#include <cstdlib>
#include <type_traits>
#include <utility>

/// Zero-filled memory. Blocks of a huge page or more are mapped from the system (map_zeroed): a
/// table of a few megabytes read at random already outgrows what the processor can translate
/// with ordinary pages. Smaller ones come from calloc, which reuses freed memory instead of
/// faulting in fresh pages each time.
class ZeroedBlock {
public:
    static constexpr std::size_t kMappedFrom = std::size_t { 2 } << 20;

    ZeroedBlock() = default;
    /// `bytes` of zeroed memory; data() is nullptr if the system has none to give.
    explicit ZeroedBlock(std::size_t bytes)
        : data_(bytes == 0            ? nullptr
                : bytes < kMappedFrom ? std::calloc(bytes, 1)
                                      : map_zeroed(bytes))
        , bytes_(data_ == nullptr ? 0 : bytes)
        , mapped_(bytes >= kMappedFrom)
    {
    }
    ~ZeroedBlock() { release(); }
    ZeroedBlock(ZeroedBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr))
        , bytes_(std::exchange(other.bytes_, 0))
        , mapped_(other.mapped_)
    {
    }
    ZeroedBlock& operator=(ZeroedBlock&& other) noexcept
    {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
            mapped_ = other.mapped_;
        }
        return *this;
    }
    ZeroedBlock(const ZeroedBlock&) = delete;
    ZeroedBlock& operator=(const ZeroedBlock&) = delete;

    void* data() const { return data_; }

    /// Brings the pages of bytes [from, to) in now: a process's memory use shows what it holds
    /// at once, to itself and to other processes that weigh the room left, instead of growing as
    /// pages are touched.
    void touch_pages(std::size_t from, std::size_t to) const
    {
        constexpr std::size_t kPage = 4096;
        for (std::size_t at = from; at < to && at < bytes_; at += kPage)
            static_cast<volatile char*>(data_)[at] = 0;
    }

    /// Keeps the first `bytes` and gives the pages of the rest back to the system (a small block
    /// keeps them).
    void shrink(std::size_t bytes)
    {
        if (bytes >= bytes_) return;
        if (mapped_) unmap_zeroed_tail(data_, bytes_, bytes);
        if (mapped_) bytes_ = bytes;
    }

private:
    void release()
    {
        if (data_ == nullptr) return;
        if (mapped_)
            unmap_zeroed(data_, bytes_);
        else
            std::free(data_);
    }

    void* data_ = nullptr;
    std::size_t bytes_ = 0;
    bool mapped_ = false;
};

/// An array of `count` zero-filled T in a ZeroedBlock.
template <class T> class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t count)
        : block_(count * sizeof(T))
    {
    }
    explicit operator bool() const { return block_.data() != nullptr; }
    T& operator[](std::size_t i) const { return static_cast<T*>(block_.data())[i]; }
    T* get() const { return static_cast<T*>(block_.data()); }
    /// Brings the pages of elements [from, to) in now.
    void touch_pages(std::size_t from, std::size_t to) const
    {
        block_.touch_pages(from * sizeof(T), to * sizeof(T));
    }
    /// Keeps the first `count` and gives the memory of the rest back.
    void shrink(std::size_t count) { block_.shrink(count * sizeof(T)); }

private:
    ZeroedBlock block_;
};
