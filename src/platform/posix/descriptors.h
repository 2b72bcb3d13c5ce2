#pragma once

// What the POSIX doors share: a handle as a descriptor, and the system's answers as error codes.

#include "file_door.h"

#include <cerrno>
#include <sys/stat.h>

inline constexpr auto fd_of = [](Handle handle) { return static_cast<int>(handle); };
inline constexpr auto last_error = [] { return std::error_code(errno, std::generic_category()); };
inline constexpr auto code_of
    = [](int result) { return result == 0 ? std::error_code() : last_error(); };

inline std::error_code opened(int fd, Handle& file)
{
    if (fd < 0) return last_error();
    file = fd;
    return {};
}

inline FileId id_of(const struct stat& info)
{
    return { static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
        static_cast<std::uint64_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
        S_ISREG(info.st_mode) };
}

inline std::error_code identified(int result, const struct stat& info, FileId& id)
{
    if (result != 0) return last_error();
    id = id_of(info);
    return {};
}

// EINVAL is the system saying that such a file cannot be synced at all; anything else (EIO,
// and EROFS from a file system that went read-only after an error) means the data may be lost.
template <int (*call)(int)> std::error_code synced(Handle file)
{
    while (call(fd_of(file)) != 0) {
        if (errno == EINTR) continue;
        if (errno == EINVAL) return std::make_error_code(std::errc::operation_not_supported);
        return last_error();
    }
    return {};
}
