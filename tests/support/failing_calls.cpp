// Loaded into the program under test with LD_PRELOAD (Linux), for what only a whole process shows:
// runs killed by SIGKILL where files cannot be made without a name. With RUNEL_FAIL=unnamed,
// openat with O_TMPFILE fails with EOPNOTSUPP, as on NFS or vfat. (Every other fault is put
// through the result file's door, in tests/result_file_test.cpp.)
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>

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
