// The file system door on POSIX systems.
#include "files.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void throw_errno(int code)
{
    throw std::system_error(code, std::generic_category());
}

int descriptor(std::intptr_t handle)
{
    return static_cast<int>(handle);
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

class FileOutput final : public ResultOutput {
public:
    explicit FileOutput(std::string final_name)
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
            discard();
            throw_errno(code);
        }
    }
    ~FileOutput() override
    {
        if (!committed_) discard();
    }
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        while (size > 0) {
            const ssize_t done = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) throw_errno(errno);
            if (done == 0) throw_errno(EIO);
            data += done;
            size -= static_cast<std::size_t>(done);
            offset += static_cast<std::uint64_t>(done);
        }
    }

    void read_at(std::uint64_t offset, char* data, std::size_t size) override
    {
        while (size > 0) {
            const ssize_t done = ::pread(fd_, data, size, static_cast<off_t>(offset));
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) throw_errno(errno);
            if (done == 0)
                throw_errno(EIO); // the bytes were written before: a short file is a fault
            data += done;
            size -= static_cast<std::size_t>(done);
            offset += static_cast<std::uint64_t>(done);
        }
    }

    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override
    {
        // The kernel copies without a trip through user space where the file system allows it.
        while (size > 0) {
            auto in = static_cast<loff_t>(from);
            auto out = static_cast<loff_t>(to);
            const ssize_t done = ::copy_file_range(fd_, &in, fd_, &out, size, 0);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) break; // not supported here, or nothing copied: finish by hand
            from += static_cast<std::uint64_t>(done);
            to += static_cast<std::uint64_t>(done);
            size -= static_cast<std::uint64_t>(done);
        }
        std::vector<char> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 20)));
        while (size > 0) {
            const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
            read_at(from, chunk.data(), part);
            write_at(to, chunk.data(), part);
            from += part;
            to += part;
            size -= part;
        }
    }

    void reserve(std::uint64_t size) override
    {
        if (size == 0) return;
        const int code = ::posix_fallocate(fd_, 0, static_cast<off_t>(size));
        if (code != 0) throw_errno(code);
    }

    void commit() override
    {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw_errno(errno);
        if (::rename(temp_name_.c_str(), final_name_.c_str()) != 0) throw_errno(errno);
        // Only now: a signal in between finds the temporary name gone, and unlinking it is
        // harmless.
        has_pending = 0;
        committed_ = true;
    }

private:
    void discard()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        ::unlink(temp_name_.c_str());
        has_pending = 0;
    }

    std::string final_name_;
    std::string temp_name_;
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace

InputFile::InputFile(const std::string& name)
{
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw_errno(errno);
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
        if (got < 0) throw_errno(errno);
        return static_cast<std::size_t>(got);
    }
}

std::unique_ptr<ResultOutput> open_result(const std::string& name)
{
    return std::make_unique<FileOutput>(name);
}

void remove_stale_result(const std::string& name)
{
    struct stat info { };
    if (::lstat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode)) ::unlink(name.c_str());
}

void prepare_process()
{
    // A file size limit then shows up as a failed write, which the run reports and cleans up
    // after, instead of killing the program with its temporary file in place.
    ::signal(SIGXFSZ, SIG_IGN);
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
