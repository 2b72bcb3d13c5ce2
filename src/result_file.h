#pragma once

#include <string>

/// A file written under a temporary name beside its final one and renamed over the final name
/// only once complete, so that readers see the old file, the new one, or none: never a part.
class PendingFile {
public:
    /// Creates the temporary file; throws std::system_error if it cannot.
    explicit PendingFile(std::string final_name);
    /// Removes the temporary file unless it was committed.
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    int fd() const { return fd_; }
    /// Closes the file and renames it over the final name; throws std::system_error on failure.
    void commit();

private:
    std::string final_name_;
    std::string temp_name_;
    int fd_ = -1;
    bool committed_ = false;
};

/// Removes a regular file called `name`, if there is one, so that no stale result outlives a run
/// that failed. Anything else of that name (a directory, say) is left alone.
void remove_stale_file(const std::string& name);

/// Makes SIGHUP, SIGINT and SIGTERM remove the PendingFile under construction before the
/// program dies of them, so that an interrupted run leaves no temporary file behind.
void remove_pending_file_on_signals();
