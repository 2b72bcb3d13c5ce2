#pragma once

#include "file_door.h"

#include <cstddef>
#include <cstdint>
#include <string>

/// A file opened for reading, read from its start in order. Each step throws std::system_error
/// carrying the system's own error code (and so its own words) when the system refuses.
class InputFile {
public:
    /// Opens `name`; throws std::system_error if it cannot be opened.
    explicit InputFile(const std::string& name);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    /// Reads up to `size` bytes into `data`; returns 0 at the end of the file.
    std::size_t read(char* data, std::size_t size);

    /// Moves the reading past a hole that starts where it stands (a stretch of a sparse file that
    /// the file system keeps as nothing, and reads as zero bytes) without reading it; returns the
    /// bytes passed, 0 where there is none or the system cannot tell.
    std::uint64_t skip_hole();

    /// The file's size when it was opened; 0 for what has none (a device, a pipe).
    std::uint64_t size_at_open() const { return size_at_open_; }

private:
    Handle handle_;
    std::uint64_t size_at_open_ = 0;
};
