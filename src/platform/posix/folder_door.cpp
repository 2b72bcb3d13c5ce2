// The folder door on POSIX systems, and the temporary results that must have a name (where the
// file system cannot make a file without one): each is locked by its run while the run lives, and
// made while its run holds a shared lock on the folder, locked before that lock goes. So a run
// that holds the folder's lock alone and finds such a file unlocked knows its run is dead, at any
// age. These are the acts; which files are temporary and which dead is decided above the door.
#include "descriptors.h"
#include "speedups.h"

#include <chrono>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

// The name is looked up, not followed: a link at the name is not the file.
constexpr auto identify_at = [](Handle folder, const char* name, FileId& id) {
    struct stat info { };
    return identified(::fstatat(fd_of(folder), name, &info, AT_SYMLINK_NOFOLLOW), info, id);
};

std::error_code open_folder_of(const std::string& path, Place& place)
{
    place = {};
    const std::string::size_type slash = path.rfind('/');
    const std::string folder_path = slash == std::string::npos ? "."
        : slash == 0                                           ? "/"
                                                               : path.substr(0, slash);
    const int folder = ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) return last_error();
        return {}; // a folder that cannot be read
    }
    place = { folder, slash == std::string::npos ? path : path.substr(slash + 1) };
    return {};
}

constexpr auto close_folder = [](Handle folder) {
    if (folder >= 0) ::close(fd_of(folder));
};

std::error_code standing(Handle file, Handle folder, FileStanding& standing)
{
    standing = {};
    struct stat info { };
    if (::fstat(fd_of(file), &info) != 0) return last_error();
    standing.links = static_cast<std::uint64_t>(info.st_nlink);
    standing.owned_by_user = info.st_uid == ::geteuid();
    // A file this process already has open on a standard stream (standard output redirected to
    // it, and reached through /dev/stdout).
    for (int stream = 0; stream <= 2; ++stream) {
        struct stat held { };
        if (::fstat(stream, &held) == 0 && same_file(id_of(held), id_of(info)))
            standing.held_by_standard_stream = true;
    }
    standing.mount_root = is_mount_root(fd_of(file), fd_of(folder));
    standing.folder_append_only = folder_is_append_only(fd_of(folder));
    return {};
}

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

// Locks the temporary file open at `fd` for as long as this process lives or keeps it open; where
// the file system has no locks, the folder's lock alone shields it.
constexpr auto hold_temporary = [](int fd) {
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) { }
};

// A new file `name`, opened for reading and writing and locked, under the folder's shared lock.
std::error_code make_named(Handle folder, const char* name, Handle& file)
{
    // Shared: runs making their files do not wait for each other, only for a sweep. A sweep
    // takes moments; waiting longer than that, for a sweeping run that was stopped, say, the
    // file is made unshielded rather than never.
    const int folder_fd = fd_of(folder);
    const bool folder_locked = lock_folder_fd(folder_fd, LOCK_SH, 1000);
    const int fd
        = ::openat(folder_fd, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    const int made = errno;
    if (fd >= 0) hold_temporary(fd);
    if (folder_locked) ::flock(folder_fd, LOCK_UN);
    errno = made;
    return opened(fd, file);
}

std::error_code make_unnamed(Handle folder, Handle& file)
{
    errno = EOPNOTSUPP; // where the system has no such files at all
    const int fd = open_unnamed(fd_of(folder));
    if (fd < 0) return last_error();
    hold_temporary(fd);
    file = fd;
    return {};
}

constexpr auto rename_over = [](Handle, const std::string& from, const Place& place) {
    const int folder = fd_of(place.folder);
    return code_of(::renameat(folder, from.c_str(), folder, place.name.c_str()));
};

constexpr auto lock_folder = [](Handle folder, bool alone) {
    return lock_folder_fd(fd_of(folder), alone ? LOCK_EX : LOCK_SH, alone ? 50 : 1000);
};

constexpr auto unlock_folder = [](Handle folder) { ::flock(static_cast<int>(folder), LOCK_UN); };

std::error_code open_leftover(Handle folder, const char* name, Handle& file, LeftoverFacts& facts)
{
    const int folder_fd = static_cast<int>(folder);
    int fd = ::openat(folder_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fd = ::openat(folder_fd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return last_error();
    struct stat info { };
    if (::fstat(fd, &info) != 0) {
        const std::error_code code = last_error();
        ::close(fd);
        return code;
    }
    file = fd;
    facts.id = id_of(info);
    facts.owned_by_user = info.st_uid == ::geteuid();
    facts.age_seconds = std::time(nullptr) - info.st_mtime;
    facts.lock_taken = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    return {};
}

constexpr auto unlink
    = [](Handle folder, const char* name) { return code_of(::unlinkat(fd_of(folder), name, 0)); };

std::error_code names_beginning(
    Handle folder, const std::string& prefix, std::vector<std::string>& names)
{
    names.clear();
    const std::string::size_type slash = prefix.rfind('/');
    const std::string path = slash == std::string::npos ? "" : prefix.substr(0, slash + 1);
    const std::string start = prefix.substr(path.size());
    // A descriptor of the listing's own, so that the folder's keeps its place.
    const int fd = ::openat(
        fd_of(folder), path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_error();
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        const std::error_code code = last_error();
        ::close(fd);
        return code;
    }
    for (;;) {
        errno = 0; // readdir's end and its failure differ only in errno
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) break;
        const std::string name = entry->d_name;
        if (name.starts_with(start)) names.push_back(path + name);
    }
    const std::error_code code = last_error();
    ::closedir(listing);
    return code;
}

constexpr auto sync_folder = synced<::fsync>;

constexpr FolderDoor kSystemDoor = {
    .working_folder = AT_FDCWD,
    .renames_over_open_files = true,
#define RUNEL_ENTRY(name, ...) .name = name,
#include "folder_entries.h"
};

} // namespace

const FolderDoor& system_folder_door() noexcept
{
    return kSystemDoor;
}
