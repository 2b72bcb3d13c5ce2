#include "leftovers.h"

#include "file_door.h"
#include "take_back.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kMark = ".runel-";
constexpr std::size_t kLetters = 6;
// Where the folder cannot be locked: an empty temporary file younger than this may be one whose
// run has not locked it yet.
constexpr std::time_t kBirthSeconds = 60;

// Takes the folder's lock `how` (LOCK_SH or LOCK_EX), trying for up to `tries` times 2 ms;
// false where the folder cannot be locked (no locks on this file system) or another run holds
// it that long. A shared lock is held by a run only for an open and a lock; the lock alone, for
// a sweep of the folder.
bool lock_folder(int folder_fd, int how, int tries)
{
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (::flock(folder_fd, how | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// `folder_locked`: no run is between making a temporary file and locking it.
void remove_if_dead(int folder_fd, const std::string& name, bool folder_locked)
{
    int fd = ::openat(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fd = ::openat(folder_fd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info { };
    const bool dead = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
        && (folder_locked || info.st_size > 0 || std::time(nullptr) - info.st_mtime > kBirthSeconds)
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // Still the file that was checked, under the lock that keeps its run's successors out.
    FileId id;
    if (dead && !file_door().identify(fd, id)) remove_if_still(folder_fd, name.c_str(), id, true);
    ::close(fd);
}

} // namespace

bool is_temporary_name(const std::string& name, const std::string& base)
{
    const std::string prefix = base + kMark;
    if (name.size() != prefix.size() + kLetters || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < 'a' || name[i] > 'z') return false;
    }
    return true;
}

std::string temporary_name(const std::string& base)
{
    static std::mt19937_64 random(static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ ::getpid()));
    std::string name = base + kMark;
    for (std::size_t i = 0; i < kLetters; ++i) name += static_cast<char>('a' + random() % 26);
    return name;
}

bool hold_temporary(int fd)
{
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

int create_temporary(int folder_fd, const std::string& base, std::string& name)
{
    // Shared: runs making their files do not wait for each other, only for a sweep.
    // A sweep takes moments; waiting longer than that, for a sweeping run that was stopped, say,
    // the file is made unshielded rather than never.
    const bool folder_locked = lock_folder(folder_fd, LOCK_SH, 1000);
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        name = temporary_name(base);
        fd = ::openat(
            folder_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    const int made = errno;
    if (fd >= 0) hold_temporary(fd);
    if (folder_locked) ::flock(folder_fd, LOCK_UN);
    if (fd < 0) name.clear();
    errno = made;
    return fd;
}

void remove_leftovers(const Place& place)
{
    const int folder_fd = static_cast<int>(place.folder);
    const int listing_fd = ::dup(folder_fd);
    if (listing_fd < 0) return;
    DIR* folder = ::fdopendir(listing_fd);
    if (folder == nullptr) {
        ::close(listing_fd);
        return;
    }
    const bool folder_locked = lock_folder(folder_fd, LOCK_EX, 50);
    ::rewinddir(folder);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (is_temporary_name(name, place.name)) remove_if_dead(folder_fd, name, folder_locked);
    }
    if (folder_locked) ::flock(folder_fd, LOCK_UN);
    ::closedir(folder);
}
