// The board file on POSIX systems.
#include "files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

int descriptor(std::intptr_t handle)
{
    return static_cast<int>(handle);
}

} // namespace

InputFile::InputFile(const std::string& name)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category());
    handle_ = fd;
    struct stat info { };
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        size_at_open_ = static_cast<std::uint64_t>(info.st_size);
}

InputFile::~InputFile()
{
    ::close(descriptor(handle_));
}

std::size_t InputFile::read(char* data, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::read(descriptor(handle_), data, size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) throw std::system_error(errno, std::generic_category());
        return static_cast<std::size_t>(got);
    }
}

std::uint64_t InputFile::skip_hole()
{
#if defined(SEEK_DATA)
    const int fd = descriptor(handle_);
    if (size_at_open_ == 0) return 0; // a device or a pipe: no holes, and no seeking
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    if (here < 0) return 0;
    off_t data = ::lseek(fd, here, SEEK_DATA);
    // No data after here: the hole runs to the end.
    if (data < 0 && errno == ENXIO) data = ::lseek(fd, 0, SEEK_END);
    if (data < here) {
        ::lseek(fd, here, SEEK_SET);
        return 0;
    }
    return static_cast<std::uint64_t>(data - here);
#else
    return 0;
#endif
}
