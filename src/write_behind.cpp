#include "write_behind.h"

#include <system_error>

WriteBehind::WriteBehind(std::uint64_t every)
    : every_(every)
{
}

void WriteBehind::note_written(Handle file, std::uint64_t bytes)
{
    if (unsent_.fetch_add(bytes, std::memory_order_relaxed) + bytes < every_) return;
    unsent_.store(0, std::memory_order_relaxed);
    const FileDoor& door = file_door();
    door.start_writeback(file);
    const std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (!thread_.joinable()) {
        file_ = door.duplicate(file);
        if (file_ == kNoHandle) return; // no handle to spare: the final sync does it all
        try {
            thread_ = std::thread(&WriteBehind::run, this);
        } catch (const std::system_error&) {
            door.close(file_); // no thread to spare: the same
            file_ = kNoHandle;
            return;
        }
    }
    pending_ = true;
    wanted_.notify_one();
}

std::error_code WriteBehind::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wanted_.notify_one();
    if (thread_.joinable()) thread_.join();
    const std::lock_guard lock(mutex_);
    if (file_ != kNoHandle) file_door().close(file_);
    file_ = kNoHandle;
    return failure_;
}

unsigned WriteBehind::syncs() const
{
    const std::lock_guard lock(mutex_);
    return syncs_;
}

void WriteBehind::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wanted_.wait(lock, [this] { return pending_ || stopping_; });
        // A sync asked for is made even when stopping: the final sync would wait for it anyway.
        if (!pending_) return;
        pending_ = false;
        lock.unlock();
        const std::error_code code = file_door().sync_data(file_);
        lock.lock();
        ++syncs_;
        if (code && code != std::errc::operation_not_supported && !failure_) failure_ = code;
    }
}
