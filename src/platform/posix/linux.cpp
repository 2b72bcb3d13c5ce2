// The Linux speed-ups behind speedups.h.
#include "speedups.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <map>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr auto fd_path = [](Handle fd) { return "/proc/self/fd/" + std::to_string(fd); };

constexpr auto error = [](int code) { return std::error_code(code, std::generic_category()); };

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

std::error_code give_name(Handle file, Handle folder, const char* name)
{
    const int folder_fd = static_cast<int>(folder);
    if (::linkat(AT_FDCWD, fd_path(file).c_str(), folder_fd, name, AT_SYMLINK_FOLLOW) == 0)
        return {};
    return error(errno);
}

std::error_code rename_no_replace(Handle folder, const char* from, const char* to)
{
    const int fd = static_cast<int>(folder);
    if (::renameat2(fd, from, fd, to, RENAME_NOREPLACE) == 0) return {};
    // Kernels before 3.15, and file systems without it, cannot.
    return error(errno == EINVAL || errno == ENOSYS ? EOPNOTSUPP : errno);
}

std::uint64_t copy_range(
    Handle from, std::uint64_t from_offset, Handle to, std::uint64_t to_offset, std::uint64_t size)
{
    std::uint64_t copied = 0;
    while (copied < size) {
        auto in_offset = static_cast<loff_t>(from_offset + copied);
        auto out_offset = static_cast<loff_t>(to_offset + copied);
        const ssize_t done = ::copy_file_range(static_cast<int>(from), &in_offset,
            static_cast<int>(to), &out_offset, size - copied, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break; // not supported here, or nothing copied: the caller finishes
        copied += static_cast<std::uint64_t>(done);
    }
    return copied;
}

bool process_start(std::uint64_t id, std::uint64_t& started, bool& ended)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%llu/stat", static_cast<unsigned long long>(id));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char line[1024];
    const ssize_t got = ::read(fd, line, sizeof line - 1);
    ::close(fd);
    if (got <= 0) return false;
    line[got] = '\0';
    // The command's name, in parentheses, may hold any character: the fields follow the last
    // ')'. The state is the third field, the start (clock ticks after boot) the 22nd.
    const char* fields = std::strrchr(line, ')');
    char state = 0;
    unsigned long long start = 0;
    if (fields == nullptr
        || std::sscanf(fields + 1, // NOLINT(cert-err34-c): a failed conversion answers false
               " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
               &state, &start)
            != 2)
        return false;
    started = start;
    ended = state == 'Z' || state == 'X';
    return true;
}

int allocate_up_front(int fd, std::uint64_t size)
{
    // fallocate itself, not posix_fallocate: where the file system cannot allocate, the C
    // library's emulation writes a byte into every block, and would fill the disk to find out
    // that it is too small.
    while (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) return errno == ENOSYS ? EOPNOTSUPP : errno;
    }
    return 0;
}

std::string path_of(Handle file, const char* opened_as)
{
    std::string path(4096, '\0');
    const ssize_t length = ::readlink(fd_path(file).c_str(), path.data(), path.size());
    path.resize(static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    // A file whose name has gone, or one that is not in a folder (a pipe, a socket).
    if (length >= 4096 || !path.starts_with('/') || path.ends_with(" (deleted)")) return opened_as;
    return path;
}

Handle reopen_read_write(Handle file, const char*)
{
    return ::open(fd_path(file).c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
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

// What `call` fills into a buffer of the size it is given (nullptr, 0: asks the size needed),
// tried again while the answer grows between the two calls; nullopt where it fails.
template <class Call> std::optional<std::string> sized(Call call)
{
    std::string out;
    for (ssize_t size = 0; (size = call(nullptr, 0)) >= 0;) {
        out.resize(static_cast<std::size_t>(size));
        const ssize_t got = call(out.data(), out.size());
        if (got >= 0) return out.substr(0, static_cast<std::size_t>(got));
        if (errno != ERANGE) break;
    }
    return std::nullopt;
}

// The extended attributes of the file open at `fd`, by name; nullopt if they cannot be read.
std::optional<std::map<std::string, std::string>> attributes_of(int fd)
{
    std::map<std::string, std::string> attributes;
    const auto names
        = sized([fd](char* list, std::size_t size) { return ::flistxattr(fd, list, size); });
    if (!names) return errno == ENOTSUP ? std::optional(attributes) : std::nullopt;
    for (std::size_t at = 0; at < names->size(); at += std::strlen(names->c_str() + at) + 1) {
        const char* name = names->c_str() + at;
        const auto value = sized(
            [fd, name](char* data, std::size_t size) { return ::fgetxattr(fd, name, data, size); });
        if (!value) return std::nullopt;
        attributes.emplace(name, *value);
    }
    return attributes;
}

// The file flags (chattr's), or -1 where the file system has none.
constexpr auto flags_of = [](int fd) {
    long flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : -1;
};

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

void start_writeback(Handle file)
{
    ::sync_file_range(static_cast<int>(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void advise_huge_pages(void* data, std::size_t bytes)
{
    ::madvise(data, bytes, MADV_HUGEPAGE);
}

bool memory_backed(int fd)
{
    struct statfs kind { };
    return ::fstatfs(fd, &kind) == 0 && (kind.f_type == TMPFS_MAGIC || kind.f_type == RAMFS_MAGIC);
}
