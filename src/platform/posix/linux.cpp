// The Linux speed-ups behind speedups.h.
#include "speedups.h"

#include "cgroup_memory.h"
#include "free_room.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <linux/magic.h>
#include <map>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

std::string fd_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace

int open_unnamed(int folder_fd)
{
    const int fd = ::openat(folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    // The file is named later through /proc; without /proc it could never be named.
    struct stat info { };
    if (::stat(fd_path(fd).c_str(), &info) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int name_unnamed(int fd, int folder_fd, const std::string& name)
{
    if (::linkat(AT_FDCWD, fd_path(fd).c_str(), folder_fd, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return errno;
    return 0;
}

int rename_without_replacing(int folder_fd, const char* from, const char* to)
{
    if (::renameat2(folder_fd, from, folder_fd, to, RENAME_NOREPLACE) == 0) return 0;
    // Kernels before 3.15, and file systems without it, cannot.
    return errno == EINVAL || errno == ENOSYS ? EOPNOTSUPP : errno;
}

std::uint64_t copy_in_kernel(
    int in, std::uint64_t from, int out, std::uint64_t to, std::uint64_t size)
{
    std::uint64_t copied = 0;
    while (copied < size) {
        auto in_offset = static_cast<loff_t>(from + copied);
        auto out_offset = static_cast<loff_t>(to + copied);
        const ssize_t done = ::copy_file_range(in, &in_offset, out, &out_offset, size - copied, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break; // not supported here, or nothing copied: the caller finishes
        copied += static_cast<std::uint64_t>(done);
    }
    return copied;
}

int allocate_blocks(int fd, std::uint64_t size)
{
    if (size == 0) return 0;
    // On a file system in memory the blocks are charged to the memory limits at once, and past
    // them the process is killed instead of told.
    if (const int code = check_memory_room(fd, size); code != 0) return code;
    // fallocate itself, not posix_fallocate: where the file system cannot allocate, the C
    // library's emulation writes a byte into every block, and would fill the disk to find out
    // that it is too small.
    while (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0) {
        if (errno == EINTR) continue;
        if (errno == EOPNOTSUPP || errno == ENOSYS) return check_free_room(fd, size);
        return errno;
    }
    return 0;
}

std::string path_of(int fd)
{
    std::string path(4096, '\0');
    const ssize_t length = ::readlink(fd_path(fd).c_str(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) return {};
    path.resize(static_cast<std::size_t>(length));
    // A file whose name has gone, or one that is not in a folder (a pipe, a socket).
    if (path.front() != '/' || path.ends_with(" (deleted)")) return {};
    return path;
}

int reopen_read_write(int fd, const std::string&)
{
    return ::open(fd_path(fd).c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
}

bool is_mount_root(int fd, int folder_fd)
{
    struct statx file { };
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &file) == 0
        && (file.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (file.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    // Kernels before 5.8 do not say; a file on another device than its folder is mounted there.
    struct stat info { };
    struct stat folder { };
    return ::fstat(fd, &info) != 0 || ::fstat(folder_fd, &folder) != 0
        || info.st_dev != folder.st_dev;
}

bool folder_is_append_only(int folder_fd)
{
    struct statx folder { };
    if (::statx(folder_fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &folder) != 0) return false;
    return (folder.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

namespace {

// The extended attributes of the file open at `fd`, by name; nullopt if they cannot be read.
std::optional<std::map<std::string, std::string>> attributes_of(int fd)
{
    std::vector<char> names;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP ? std::optional(std::map<std::string, std::string> {})
                                    : std::nullopt;
        names.resize(static_cast<std::size_t>(size));
        const ssize_t got = ::flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<std::size_t>(got));
            break;
        }
        if (errno != ERANGE) return std::nullopt;
    }
    std::map<std::string, std::string> attributes;
    for (std::size_t at = 0; at < names.size();) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        std::string value;
        for (;;) {
            const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
            if (size < 0) return std::nullopt;
            value.resize(static_cast<std::size_t>(size));
            const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
            if (got >= 0) {
                value.resize(static_cast<std::size_t>(got));
                break;
            }
            if (errno != ERANGE) return std::nullopt;
        }
        attributes.emplace(name, std::move(value));
    }
    return attributes;
}

// The file flags (chattr's), or -1 where the file system has none.
long flags_of(int fd)
{
    long flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : -1;
}

} // namespace

bool carry_over_attributes(int from, int to)
{
    const auto wanted = attributes_of(from);
    const auto present = attributes_of(to);
    if (!wanted || !present) return false;
    for (const auto& [name, value] : *present) {
        if (!wanted->contains(name)) ::fremovexattr(to, name.c_str());
    }
    for (const auto& [name, value] : *wanted) {
        const auto it = present->find(name);
        if (it == present->end() || it->second != value)
            ::fsetxattr(to, name.c_str(), value.data(), value.size(), 0);
    }
    return attributes_of(to) == wanted && flags_of(from) == flags_of(to);
}

void start_writeback(int fd, std::uint64_t offset, std::uint64_t size)
{
    ::sync_file_range(
        fd, static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
}

void advise_huge_pages(void* data, std::size_t bytes)
{
    ::madvise(data, bytes, MADV_HUGEPAGE);
}

std::uint64_t system_memory_available()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kilobytes = 0;
    std::uint64_t available = 0;
    while (meminfo >> key >> kilobytes) {
        if (key == "MemAvailable:") {
            available = kilobytes * 1024;
            break;
        }
        meminfo.ignore(64, '\n');
    }
    if (const auto group = cgroup_memory_room()) {
        // Nothing left is still a figure, not the 0 of "unknown".
        const std::uint64_t left = std::max<std::uint64_t>(*group, 1);
        available = available == 0 ? left : std::min(available, left);
    }
    return available;
}

bool memory_backed(int fd)
{
    struct statfs kind { };
    return ::fstatfs(fd, &kind) == 0 && (kind.f_type == TMPFS_MAGIC || kind.f_type == RAMFS_MAGIC);
}

std::uint64_t address_space_used()
{
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    if (!(statm >> pages)) return 0;
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

unsigned processors_allowed()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 0;
    return static_cast<unsigned>(CPU_COUNT(&set));
}
