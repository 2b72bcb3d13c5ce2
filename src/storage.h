#pragma once

#include <cstdint>
#include <memory>
#include <string>

/// Random-access bytes that the result is written into: a file or, for tests, memory.
/// Every failure throws std::system_error.
class Storage {
public:
    virtual ~Storage() = default;
    virtual void write_at(std::uint64_t offset, const char* data, std::size_t size) = 0;
    virtual void read_at(std::uint64_t offset, char* data, std::size_t size) = 0;
    /// Copies `size` bytes from `from` to `to`; the two ranges do not overlap.
    virtual void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) = 0;
    /// Sets aside room for `size` bytes up front, so that writing them cannot run out of space.
    virtual void reserve(std::uint64_t size) = 0;
};

/// Storage in an open file descriptor, which it does not own.
class FileStorage final : public Storage {
public:
    explicit FileStorage(int fd)
        : fd_(fd)
    {
    }
    void write_at(std::uint64_t offset, const char* data, std::size_t size) override;
    void read_at(std::uint64_t offset, char* data, std::size_t size) override;
    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override;
    void reserve(std::uint64_t size) override;

private:
    int fd_;
};

/// Storage in a string, for tests and fuzzing.
class MemoryStorage final : public Storage {
public:
    void write_at(std::uint64_t offset, const char* data, std::size_t size) override;
    void read_at(std::uint64_t offset, char* data, std::size_t size) override;
    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override;
    void reserve(std::uint64_t) override { }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

/// Appends text to a Storage through a buffer, and copies earlier output to its end.
class Appender {
public:
    explicit Appender(Storage& storage);
    void append(const char* data, std::size_t size);
    void append(char c)
    {
        if (used_ == kBufferSize) flush();
        buffer_[used_++] = c;
    }
    /// Appends a copy of the `size` bytes at `offset` of the output so far.
    void append_copy(std::uint64_t offset, std::uint64_t size);
    std::uint64_t size() const { return flushed_ + used_; }
    void flush();

private:
    static constexpr std::size_t kBufferSize = 1 << 20;
    // Copies shorter than this go through the buffer; longer ones are left to the storage.
    static constexpr std::uint64_t kDirectCopyMin = 1 << 16;

    Storage& storage_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    std::uint64_t flushed_ = 0;
};
