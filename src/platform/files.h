#pragma once

// The program's door to the file system. Everything below throws std::system_error carrying the
// system's own error code (and so its own message text) when the system refuses.

#include "storage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

/// A file opened for reading, read from its start in order.
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
    std::intptr_t handle_;
    std::uint64_t size_at_open_ = 0;
};

/// The result file, opened as the plain opening for writing opens `name` (created if missing,
/// through links, with every rule of the system applied), but with its content kept until the
/// new result is known to fit. A regular file is written beside its name and replaces it only on
/// commit() (never half a result) where replacing it changes nothing else a user could see;
/// otherwise it is written in place (other hard links, another owner, a mount point, attributes
/// that cannot be carried over, an append-only folder). A pipe or device takes the bytes in
/// order as they come.
class ResultOutput : public Storage {
public:
    /// Makes what was written the result: flushed to the disk, then put in place.
    virtual void commit() = 0;
    /// After a failure: takes back what the run made (a temporary file, a result it created) and
    /// removes an earlier result where the run would itself have replaced it, so that no stale
    /// result outlives the failure. Never empties a file written in place; does nothing once
    /// commit() has put the result in place.
    virtual void abandon() { }
};

/// Opens the result file `name` for writing; throws std::system_error (permission denied for an
/// existing result the user may not write, say).
std::unique_ptr<ResultOutput> open_result(const std::string& name);

/// After a failed run that did not open the result: removes an earlier result at `name` where
/// this run would itself have replaced it, so that no stale result outlives the failure.
void remove_stale_result(const std::string& name);

/// Process-wide set-up before a run: a signal or console event that would end the process
/// removes the temporary result first; a write to a closed pipe or past a file size limit
/// fails with an error instead of killing the process.
void prepare_process();
