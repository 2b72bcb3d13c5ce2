#pragma once

// Keeps the disk flushing while the result is written. Starting writeback (sync_file_range)
// sends the pages on their way but never asks the device to empty its cache, so the sync before
// the rename would still wait for most of the data; a thread of its own syncs the file's data
// every few megabytes written, so that the final sync waits for little more than the last of it.

#include "file_door.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class WriteBehind {
public:
    /// Syncs after every `every` bytes noted.
    explicit WriteBehind(std::uint64_t every);
    ~WriteBehind() { stop(); }
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    /// `bytes` more were written to the file open at `fd` (from any thread). Every `every` bytes
    /// its writeback is started and the thread (started on the first) is asked to sync it.
    void note_written(Handle file, std::uint64_t bytes);

    /// Waits for the syncs asked for and ends the thread; returns the error code of a sync that
    /// failed (0 if none did; a file that cannot be synced at all is no failure): the data may not
    /// have reached the disk, and a later sync need not say so again. Noting after stop() starts
    /// nothing.
    std::error_code stop();

    /// How many syncs have finished.
    unsigned syncs() const;

private:
    void run();

    const std::uint64_t every_;
    mutable std::mutex mutex_;
    std::condition_variable wanted_;
    std::atomic<std::uint64_t> unsent_ { 0 }; // bytes noted since the last sync was asked for
    Handle file_
        = kNoHandle; // its own handle of the file, so that closing the writer's cannot race it
    bool pending_ = false;
    bool stopping_ = false;
    std::error_code failure_;
    unsigned syncs_ = 0;
    std::thread thread_;
};
