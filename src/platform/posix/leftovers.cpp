#include "leftovers.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Takes the folder's lock `how` (LOCK_SH or LOCK_EX), trying for up to `tries` times 2 ms;
// false where the folder cannot be locked (no locks on this file system) or another run holds
// it that long. A shared lock is held by a run only for an open and a lock; the lock alone, for
// a sweep of the folder.
bool lock_folder_fd(int folder_fd, int how, int tries)
{
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (::flock(folder_fd, how | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

} // namespace

bool hold_temporary(int fd)
{
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

int create_temporary(int folder_fd, const char* name)
{
    // Shared: runs making their files do not wait for each other, only for a sweep. A sweep
    // takes moments; waiting longer than that, for a sweeping run that was stopped, say, the
    // file is made unshielded rather than never.
    const bool folder_locked = lock_folder_fd(folder_fd, LOCK_SH, 1000);
    const int fd
        = ::openat(folder_fd, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    const int made = errno;
    if (fd >= 0) hold_temporary(fd);
    if (folder_locked) ::flock(folder_fd, LOCK_UN);
    errno = made;
    return fd;
}

bool lock_folder(Handle folder, bool alone)
{
    return alone ? lock_folder_fd(static_cast<int>(folder), LOCK_EX, 50)
                 : lock_folder_fd(static_cast<int>(folder), LOCK_SH, 1000);
}

void unlock_folder(Handle folder)
{
    ::flock(static_cast<int>(folder), LOCK_UN);
}

std::error_code open_leftover(Handle folder, const char* name, Handle& file, LeftoverFacts& facts)
{
    const int folder_fd = static_cast<int>(folder);
    int fd = ::openat(folder_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fd = ::openat(folder_fd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return { errno, std::generic_category() };
    struct stat info { };
    if (::fstat(fd, &info) != 0) {
        const std::error_code code { errno, std::generic_category() };
        ::close(fd);
        return code;
    }
    file = fd;
    facts.id = { static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
        static_cast<std::uint64_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
        S_ISREG(info.st_mode) };
    facts.owned_by_user = info.st_uid == ::geteuid();
    facts.age_seconds = std::time(nullptr) - info.st_mtime;
    facts.lock_taken = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    return {};
}
