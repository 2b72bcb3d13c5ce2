// The Linux speed-ups behind speedups.h.
#include "speedups.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string fd_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// A number from a one-line file such as a cgroup's memory.max; nullopt-like 0 when absent or
// "max".
std::uint64_t number_in(const std::string& path)
{
    std::ifstream in(path);
    std::uint64_t value = 0;
    if (!(in >> value)) return 0;
    return value;
}

// What the cgroup (v2, or v1) that the process runs in still allows; 0 when it sets no limit.
std::uint64_t cgroup_room()
{
    std::ifstream self("/proc/self/cgroup");
    std::string line;
    std::uint64_t room = 0;
    while (std::getline(self, line)) {
        const std::string::size_type last = line.rfind(':');
        if (last == std::string::npos) continue;
        const std::string group = line.substr(last + 1);
        std::string limit_file;
        std::string usage_file;
        if (line.compare(0, 3, "0::") == 0) {
            limit_file = "/sys/fs/cgroup" + group + "/memory.max";
            usage_file = "/sys/fs/cgroup" + group + "/memory.current";
        } else if (line.find(":memory:") != std::string::npos
            || line.find(",memory:") != std::string::npos
            || line.find(":memory,") != std::string::npos) {
            limit_file = "/sys/fs/cgroup/memory" + group + "/memory.limit_in_bytes";
            usage_file = "/sys/fs/cgroup/memory" + group + "/memory.usage_in_bytes";
        } else {
            continue;
        }
        const std::uint64_t limit = number_in(limit_file);
        if (limit == 0 || limit >= (std::uint64_t { 1 } << 60)) continue;
        const std::uint64_t usage = number_in(usage_file);
        const std::uint64_t left = limit > usage ? limit - usage : 1;
        room = room == 0 ? left : std::min(room, left);
    }
    return room;
}

} // namespace

int open_unnamed(const std::string& folder, mode_t mode)
{
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    // The file is named later through /proc; without /proc it could never be named.
    struct stat info { };
    if (::stat(fd_path(fd).c_str(), &info) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int name_unnamed(int fd, const std::string& path)
{
    if (::linkat(AT_FDCWD, fd_path(fd).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return errno;
    return 0;
}

std::uint64_t copy_in_kernel(int fd, std::uint64_t from, std::uint64_t to, std::uint64_t size)
{
    std::uint64_t copied = 0;
    while (copied < size) {
        auto in = static_cast<loff_t>(from + copied);
        auto out = static_cast<loff_t>(to + copied);
        const ssize_t done = ::copy_file_range(fd, &in, fd, &out, size - copied, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break; // not supported here, or nothing copied: the caller finishes
        copied += static_cast<std::uint64_t>(done);
    }
    return copied;
}

int allocate_blocks(int fd, std::uint64_t size)
{
    if (size == 0) return 0;
    return ::posix_fallocate(fd, 0, static_cast<off_t>(size));
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
    const std::uint64_t group = cgroup_room();
    if (group != 0) available = available == 0 ? group : std::min(available, group);
    return available;
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
