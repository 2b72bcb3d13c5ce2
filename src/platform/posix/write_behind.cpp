#include "write_behind.h"

#include "speedups.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace {

// Only the data and what is needed to read it back; the final fsync takes the rest.
int sync_data(int fd)
{
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
    while (::fdatasync(fd) != 0) {
#else
    while (::fsync(fd) != 0) {
#endif
        if (errno == EINTR) continue;
        // A file system that cannot sync has nothing to sync; the final sync says the same.
        return errno == EINVAL || errno == EROFS ? 0 : errno;
    }
    return 0;
}

} // namespace

WriteBehind::WriteBehind(std::uint64_t every)
    : every_(every)
{
}

void WriteBehind::note_written(int fd, std::uint64_t bytes)
{
    if (unsent_.fetch_add(bytes, std::memory_order_relaxed) + bytes < every_) return;
    unsent_.store(0, std::memory_order_relaxed);
    start_writeback(fd, 0, 0);
    const std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (!thread_.joinable()) {
        fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0) return; // no descriptor to spare: the final sync does it all
        try {
            thread_ = std::thread(&WriteBehind::run, this);
        } catch (const std::system_error&) {
            ::close(fd_); // no thread to spare: the same
            fd_ = -1;
            return;
        }
    }
    pending_ = true;
    wanted_.notify_one();
}

int WriteBehind::stop()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wanted_.notify_one();
    if (thread_.joinable()) thread_.join();
    const std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
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
        const int code = sync_data(fd_);
        lock.lock();
        ++syncs_;
        if (code != 0 && failure_ == 0) failure_ = code;
    }
}
