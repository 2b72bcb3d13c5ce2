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

private:
    std::intptr_t handle_;
};

/// The result file, reached as opening `name` for writing would reach it: through symbolic
/// links, into a pipe or device, onto a regular file. A regular file is written beside its final
/// name and replaces it only on commit() (never half a result), or in place where replacing it
/// would lose what the user set up (other hard links) or cannot be done (no room for a temporary
/// file in its folder); a pipe or device takes the bytes in order as they come.
/// Destroying a ResultOutput that was not committed leaves no temporary file behind.
class ResultOutput : public Storage {
public:
    /// Makes what was written the result: flushed to the disk, then put in place.
    virtual void commit() = 0;
};

/// Opens the result file `name` for writing; throws std::system_error (permission denied for an
/// existing result the user may not write, say).
std::unique_ptr<ResultOutput> open_result(const std::string& name);

/// After a failed run: removes an earlier result at `name` where this run would itself have
/// replaced it (a regular file the user may write, through links), so that no stale result
/// outlives the failure. Never a protected file, a pipe, a device or a folder.
void remove_stale_result(const std::string& name);

/// Process-wide set-up before a run: a signal or console event that would end the process
/// removes the temporary result first; a write to a closed pipe or past a file size limit
/// fails with an error instead of killing the process.
void prepare_process();
