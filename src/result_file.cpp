#include "result_file.h"

#include <cerrno>
#include <csignal>
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

// The temporary file that a fatal signal must not leave behind. Plain storage and a flag of
// sig_atomic_t, because the handler reads them.
char pending_name[4096];
volatile std::sig_atomic_t has_pending = 0;

extern "C" void remove_pending_and_die(int signal_number)
{
    if (has_pending) ::unlink(pending_name);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void set_pending(const std::string& name)
{
    has_pending = 0;
    if (name.size() >= sizeof pending_name) return;
    name.copy(pending_name, name.size());
    pending_name[name.size()] = '\0';
    has_pending = 1;
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
    set_pending(temp_name_);
    // mkstemp makes the file private; a result file gets the permissions any new file would.
    if (::fchmod(fd_, 0666 & ~current_umask()) != 0) {
        const int code = errno;
        ::close(fd_);
        ::unlink(temp_name_.c_str());
        has_pending = 0;
        throw_errno(code);
    }
}

PendingFile::~PendingFile()
{
    if (committed_) return;
    if (fd_ >= 0) ::close(fd_);
    ::unlink(temp_name_.c_str());
    has_pending = 0;
}

void PendingFile::commit()
{
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw_errno(errno);
    if (::rename(temp_name_.c_str(), final_name_.c_str()) != 0) throw_errno(errno);
    // Only now: a signal in between finds the temporary name gone, and unlinking it is harmless.
    has_pending = 0;
    committed_ = true;
}

void remove_stale_file(const std::string& name)
{
    struct stat info { };
    if (::lstat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(name.c_str());
}

void remove_pending_file_on_signals()
{
    for (const int signal_number : { SIGHUP, SIGINT, SIGTERM }) {
        struct sigaction previous { };
        // A signal that was ignored when the program started (nohup, say) stays ignored.
        if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action { };
        action.sa_handler = remove_pending_and_die;
        ::sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
}
