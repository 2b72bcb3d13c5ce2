#include "result_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void throw_errno(int code)
{
    throw std::system_error(code, std::generic_category());
}

mode_t current_umask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

PendingFile::PendingFile(std::string final_name)
    : final_name_(std::move(final_name))
{
    std::string pattern = final_name_ + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) throw_errno(errno);
    temp_name_ = name.data();
    // mkstemp makes the file private; a result file gets the permissions any new file would.
    if (::fchmod(fd_, 0666 & ~current_umask()) != 0) {
        const int code = errno;
        ::close(fd_);
        ::unlink(temp_name_.c_str());
        throw_errno(code);
    }
}

PendingFile::~PendingFile()
{
    if (committed_) return;
    if (fd_ >= 0) ::close(fd_);
    ::unlink(temp_name_.c_str());
}

void PendingFile::commit()
{
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw_errno(errno);
    if (::rename(temp_name_.c_str(), final_name_.c_str()) != 0) throw_errno(errno);
    committed_ = true;
}

void remove_stale_file(const std::string& name)
{
    struct stat info { };
    if (::lstat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(name.c_str());
}
