#include "leftovers.h"

#include <cerrno>
#include <chrono>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kMark = ".runel-";
constexpr std::size_t kLetters = 6;
// An empty temporary file younger than this may be one whose run has not locked it yet.
constexpr std::time_t kBirthSeconds = 60;

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void remove_if_dead(int folder_fd, const std::string& name)
{
    int fd = ::openat(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fd = ::openat(folder_fd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info { };
    struct stat named { };
    const bool dead = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_size > 0 || std::time(nullptr) - info.st_mtime > kBirthSeconds)
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // Still the file that was checked, under the lock that keeps its run's successors out.
    if (dead && ::fstatat(folder_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
        && same_file(named, info))
        ::unlinkat(folder_fd, name.c_str(), 0);
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

void remove_leftovers(int folder_fd, const std::string& base)
{
    const int listing_fd = ::dup(folder_fd);
    if (listing_fd < 0) return;
    DIR* folder = ::fdopendir(listing_fd);
    if (folder == nullptr) {
        ::close(listing_fd);
        return;
    }
    ::rewinddir(folder);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (is_temporary_name(name, base)) remove_if_dead(folder_fd, name);
    }
    ::closedir(folder);
}
