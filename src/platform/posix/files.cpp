// The board file, and the process-wide set-up, on POSIX systems.
#include "files.h"

#include "cleanup.h"

#include <cerrno>
#include <fcntl.h>
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

void prepare_process()
{
    install_cleanup_handlers();
}
