#pragma once

// A handle owned by the code that opened it, closed through the door when it goes, and the loops
// that move every byte asked for through the door or throw.

#include "file_door.h"

#include <cstdint>
#include <system_error>
#include <utility>

inline void check(std::error_code code)
{
    if (code) throw std::system_error(code);
}

/// Syncing is checked like any write, but for a file the system says cannot be synced at all.
inline void check_sync(std::error_code code)
{
    if (code != std::errc::operation_not_supported) check(code);
}

/// A file's handle, or a folder's: `kClose` closes it.
template <auto kClose> class Owned {
public:
    Owned() = default;
    explicit Owned(Handle handle)
        : handle_(handle)
    {
    }
    ~Owned() { reset(); }
    Owned(Owned&& other) noexcept
        : handle_(other.release())
    {
    }
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Handle get() const { return handle_; }
    bool valid() const { return handle_ != kNoHandle; }
    Handle release() { return std::exchange(handle_, kNoHandle); }
    void reset(Handle handle = kNoHandle)
    {
        if (valid()) kClose(handle_);
        handle_ = handle;
    }

private:
    Handle handle_ = kNoHandle;
};
inline void close_file(Handle file)
{
    file_door().close(file);
}
inline void close_folder(Handle folder)
{
    folder_door().close_folder(folder);
}
using OwnedFile = Owned<&close_file>;
using OwnedFolder = Owned<&close_folder>;

/// Writes all `size` bytes at `offset`, in as many calls as the system takes; a call that makes
/// no progress is an I/O error.
void write_fully(Handle file, std::uint64_t offset, const char* data, std::size_t size);

/// Reads all `size` bytes at `offset`, which were written before.
void read_fully(Handle file, std::uint64_t offset, char* data, std::size_t size);

/// Copies `size` bytes from `from_offset` of `from` to `to_offset` of `to` (ranges that do not
/// overlap): by the system where it can, the rest through memory.
void copy_between(
    Handle from, std::uint64_t from_offset, Handle to, std::uint64_t to_offset, std::uint64_t size);
