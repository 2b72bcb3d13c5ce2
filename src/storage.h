#pragma once

#include <cstdint>
#include <limits>
#include <memory>

/// Random-access bytes that the result is written into: a file or, for tests, memory.
/// Every failure throws std::system_error.
class Storage {
public:
    virtual ~Storage() = default;
    virtual void write_at(std::uint64_t offset, const char* data, std::size_t size) = 0;
    virtual void read_at(std::uint64_t offset, char* data, std::size_t size) = 0;
    /// Copies `size` bytes from `from` to `to`; the two ranges do not overlap.
    virtual void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) = 0;
    /// Sets aside room for `size` bytes up front, so that writing them cannot run out of space;
    /// throws std::system_error with std::errc::no_space_on_device when there is no room.
    virtual void reserve(std::uint64_t size) = 0;
    /// The free room the file system still has for this storage to grow into, beyond what it
    /// holds or has reserved: what a writer that does not know its size may take. The most a
    /// std::uint64_t holds where nothing sets a limit.
    virtual std::uint64_t free_room() const { return std::numeric_limits<std::uint64_t>::max(); }
    /// False for a pipe or a device: it takes bytes only once each, in ascending order, and
    /// cannot give them back (read_at and copy_within must not be called; reserve does nothing).
    virtual bool random_access() const { return true; }
    /// True where bytes written now land in a file that held an earlier result (written in
    /// place): what is written there cannot be taken back.
    virtual bool writes_in_place() const { return false; }
};

/// Appends text to a Storage through a buffer that also keeps the last stretch already written,
/// and copies earlier output to its end: from memory where it is still there.
class Appender {
public:
    explicit Appender(Storage& storage);
    void append(const char* data, std::size_t size);
    void append(char c)
    {
        if (used_ == buffer_size_) flush();
        buffer_[used_++] = c;
    }
    /// Appends three characters, with one check for room: a capture's.
    void append(char a, char b, char c)
    {
        if (used_ > buffer_size_ - 3) flush();
        char* at = buffer_.get() + used_;
        at[0] = a;
        at[1] = b;
        at[2] = c;
        used_ += 3;
    }
    /// Appends a copy of the `size` bytes at `offset` of the output so far.
    void append_copy(std::uint64_t offset, std::uint64_t size);
    /// True when the output from `offset` on is still in memory: a copy of it costs no read.
    bool in_memory(std::uint64_t offset) const { return offset >= window_start_; }
    std::uint64_t size() const { return window_start_ + used_; }
    /// Writes out what is pending.
    void flush();

private:
    // The buffer's size where memory allows, and the least it takes where memory is short.
    static constexpr std::size_t kMostBuffer = 8 << 20;
    static constexpr std::size_t kLeastBuffer = 256 << 10;
    // Copies this long from bytes no longer in memory are left to the storage.
    static constexpr std::uint64_t kDirectCopyMin = 1 << 16;

    Storage& storage_;
    std::size_t buffer_size_;
    std::size_t kept_; // what a flush keeps of the bytes written, for copies to come
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0; // bytes in the buffer, from window_start_
    std::uint64_t window_start_ = 0; // the output's offset of the buffer's first byte
    std::uint64_t flushed_ = 0; // the output up to here is written
};
