// Loaded into the program under test with LD_PRELOAD (Linux): makes one system call fail as a
// broken disk or a busy mount would, so that the program's handling of that failure is checked
// end to end. RUNEL_FAIL names the call: "folder_sync" (fsync of a folder fails with EIO),
// "data_sync" (fdatasync fails with EIO), "rename" (renameat fails with EBUSY) or "unnamed" (a
// file without a name cannot be made, as on NFS or vfat: openat with O_TMPFILE fails with
// EOPNOTSUPP).
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool failing(const char* call)
{
    const char* wanted = std::getenv("RUNEL_FAIL");
    return wanted != nullptr && std::strcmp(wanted, call) == 0;
}

template <class Call> Call next(const char* name)
{
    return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd)
{
    struct stat info { };
    if (failing("folder_sync") && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EIO;
        return -1;
    }
    return next<int (*)(int)>("fsync")(fd);
}

extern "C" int fdatasync(int fd)
{
    if (failing("data_sync")) {
        errno = EIO;
        return -1;
    }
    return next<int (*)(int)>("fdatasync")(fd);
}

extern "C" int renameat(int from_folder, const char* from, int to_folder, const char* to)
{
    if (failing("rename")) {
        errno = EBUSY;
        return -1;
    }
    return next<int (*)(int, const char*, int, const char*)>("renameat")(
        from_folder, from, to_folder, to);
}

extern "C" int openat(int folder, const char* name, int flags, ...)
{
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    va_list rest;
    va_start(rest, flags);
    // Only with O_CREAT or O_TMPFILE is there a mode to read.
    const bool has_mode = (flags & O_CREAT) != 0 || unnamed;
    // The analyzer loses va_start across the condition:
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const auto mode = has_mode ? static_cast<mode_t>(va_arg(rest, unsigned)) : mode_t { 0 };
    va_end(rest);
    if (failing("unnamed") && unnamed) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return next<int (*)(int, const char*, int, ...)>("openat")(folder, name, flags, mode);
}
