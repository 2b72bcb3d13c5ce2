// The result file on POSIX systems: reached as opening its name for writing would reach it.
#include "files.h"

#include "cleanup.h"
#include "speedups.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void throw_errno(int code)
{
    throw std::system_error(code, std::generic_category());
}

constexpr std::uint64_t kWritebackEvery = std::uint64_t { 8 } << 20;

// The kernel gives up on a chain of links this long too (ELOOP).
constexpr int kMostLinks = 40;

std::string folder_of(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What the result's name leads to.
struct Target {
    enum class Kind { missing, regular, folder, other } kind = Kind::missing;
    // Where the file is, or is to be created, once every link is followed. Empty where the file
    // is reached only through its name (a file that /dev/stdout leads to but that has no name
    // of its own any more, say).
    std::string path;
    struct stat info { };
};

Target find_target(const std::string& name)
{
    Target target;
    const bool exists = ::stat(name.c_str(), &target.info) == 0;
    if (!exists && errno != ENOENT) throw_errno(errno);
    if (exists && S_ISDIR(target.info.st_mode)) {
        target.kind = Target::Kind::folder;
        return target;
    }
    if (exists && !S_ISREG(target.info.st_mode)) {
        target.kind = Target::Kind::other;
        return target;
    }
    target.kind = exists ? Target::Kind::regular : Target::Kind::missing;
    // The links are followed by hand, to learn the folder where the file lives or is to be made;
    // a link's relative target is relative to the link's own folder.
    std::string path = name;
    for (int links = 0;; ++links) {
        if (links > kMostLinks) throw_errno(ELOOP);
        struct stat info { };
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno != ENOENT) throw_errno(errno);
            if (!exists) target.path = path; // a dangling link, or no file: it is made here
            return target;
        }
        if (!S_ISLNK(info.st_mode)) {
            if (exists && same_file(info, target.info)) target.path = path;
            return target;
        }
        std::vector<char> buffer(static_cast<std::size_t>(info.st_size) + 1 + 4096);
        const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length <= 0) throw_errno(length < 0 ? errno : ENOENT);
        std::string link(buffer.data(), static_cast<std::size_t>(length));
        if (link.front() != '/') link = folder_of(path).append("/").append(link);
        path = std::move(link);
    }
}

bool may_write(const std::string& path)
{
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

mode_t current_umask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Makes what was written reach the disk, so that a power failure after the result is in place
// cannot leave it with missing data.
void sync_file(int fd)
{
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        // A file system that cannot sync (some network and special ones) has nothing to sync.
        if (errno == EINVAL || errno == EROFS) return;
        throw_errno(errno);
    }
}

void sync_folder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return; // a folder that cannot be opened for reading cannot be synced either
    ::fsync(fd);
    ::close(fd);
}

// A descriptor open for writing at any offset, and reading back.
class DescriptorOutput : public ResultOutput {
public:
    explicit DescriptorOutput(int fd)
        : fd_(fd)
    {
    }
    ~DescriptorOutput() override
    {
        if (fd_ >= 0) ::close(fd_);
    }
    DescriptorOutput(const DescriptorOutput&) = delete;
    DescriptorOutput& operator=(const DescriptorOutput&) = delete;

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        note_end(offset + size);
        const std::size_t whole = size;
        while (size > 0) {
            const ssize_t done = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) throw_errno(errno);
            if (done == 0) throw_errno(EIO);
            data += done;
            size -= static_cast<std::size_t>(done);
            offset += static_cast<std::uint64_t>(done);
        }
        note_written(whole);
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
        note_end(to + size);
        const std::uint64_t copied = copy_in_kernel(fd_, from, to, size);
        note_written(copied);
        // Where the kernel cannot, or stopped short, through memory.
        copy_through_buffer(*this, from + copied, to + copied, size - copied);
    }

    void reserve(std::uint64_t size) override
    {
        const int code = allocate_blocks(fd_, size);
        if (code != 0) throw_errno(code);
    }

protected:
    // Cuts the file to what was written (a reservation, or an old content written over, may
    // run past it) and makes it reach the disk.
    void settle()
    {
        if (::ftruncate(fd_, static_cast<off_t>(end_.load())) != 0) throw_errno(errno);
        sync_file(fd_);
    }

    int fd_;
    // The end of what was written: the result's size. Writes may come from several threads.
    std::atomic<std::uint64_t> end_ { 0 };

private:
    std::atomic<std::uint64_t> unsent_ { 0 }; // bytes written since the last writeback began

    // Sends what was written on its way to the disk every few megabytes, so that the sync before
    // the result is put in place waits for little more than the last of it instead of all.
    void note_written(std::uint64_t bytes)
    {
        if (unsent_.fetch_add(bytes, std::memory_order_relaxed) + bytes < kWritebackEvery) return;
        unsent_.store(0, std::memory_order_relaxed);
        start_writeback(fd_, 0, 0);
    }

    void note_end(std::uint64_t end)
    {
        std::uint64_t seen = end_.load(std::memory_order_relaxed);
        while (seen < end && !end_.compare_exchange_weak(seen, end, std::memory_order_relaxed)) { }
    }
};

// A new file beside the target, which takes the target's place only once complete: readers
// see the old result, the new one, or none; never a part.
class ReplacingOutput final : public DescriptorOutput {
public:
    ReplacingOutput(std::string path, const struct stat* old)
        : DescriptorOutput(-1)
        , path_(std::move(path))
        , folder_(folder_of(path_))
        , has_old_(old != nullptr)
    {
        if (old) old_ = *old;
        // The new result keeps the identity of the one it replaces, as writing into it would.
        const mode_t mode = has_old_ ? old_.st_mode & 07777 : 0666 & ~current_umask();
        fd_ = open_unnamed(folder_, 0600);
        if (fd_ < 0) create_named();
        if (has_old_ && ::fchown(fd_, old_.st_uid, old_.st_gid) != 0) {
            // Only the owner's privileges can give a file away; the group may still be kept.
            [[maybe_unused]] const int kept_group
                = ::fchown(fd_, static_cast<uid_t>(-1), old_.st_gid);
        }
        if (::fchmod(fd_, mode) != 0) {
            const int code = errno;
            discard();
            throw_errno(code);
        }
    }
    ~ReplacingOutput() override
    {
        if (!committed_) discard();
    }
    ReplacingOutput(const ReplacingOutput&) = delete;
    ReplacingOutput& operator=(const ReplacingOutput&) = delete;

    void reserve(std::uint64_t size) override
    {
        int code = allocate_blocks(fd_, size);
        // The old result's blocks come free when it is replaced: where they make the difference,
        // let them go now, as opening it for writing would have discarded its content.
        if (code == ENOSPC && old_frees_enough(size)) {
            if (::unlink(path_.c_str()) == 0) has_old_ = false;
            code = allocate_blocks(fd_, size);
        }
        if (code != 0) throw_errno(code);
    }

    void commit() override
    {
        settle();
        {
            const SignalsHeld held;
            if (temp_name_.empty())
                name_and_replace();
            else if (::rename(temp_name_.c_str(), path_.c_str()) != 0)
                throw_errno(errno);
            keep_on_signal();
            temp_name_.clear();
        }
        committed_ = true;
        sync_folder(folder_);
    }

private:
    // Where the file system cannot make a file without a name, a named one, recorded for the
    // signal handlers before any signal can see it exist.
    void create_named()
    {
        std::string pattern = path_ + ".XXXXXX";
        const SignalsHeld held;
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0) throw_errno(errno);
        temp_name_ = pattern;
        remove_on_signal(temp_name_);
    }

    // Gives the nameless file the target's name: directly where the name is free, else under a
    // temporary name first and then over the target.
    void name_and_replace()
    {
        int code = name_unnamed(fd_, path_);
        if (code == 0) return;
        if (code != EEXIST) throw_errno(code);
        const auto salt = static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        for (unsigned attempt = 0;; ++attempt) {
            std::string name = path_ + ".";
            for (unsigned long long bits = (salt ^ ::getpid()) + attempt * 0x9e3779b97f4a7c15ULL;
                 name.size() < path_.size() + 7; bits /= 26)
                name += static_cast<char>('a' + bits % 26);
            remove_on_signal(name);
            code = name_unnamed(fd_, name);
            if (code == EEXIST && attempt < 100) continue;
            if (code != 0) throw_errno(code);
            if (::rename(name.c_str(), path_.c_str()) != 0) {
                code = errno;
                ::unlink(name.c_str());
                throw_errno(code);
            }
            return;
        }
    }

    bool old_frees_enough(std::uint64_t size) const
    {
        struct stat now { };
        struct statvfs room { };
        if (!has_old_ || ::stat(path_.c_str(), &now) != 0 || !same_file(now, old_)
            || now.st_nlink != 1 || ::fstatvfs(fd_, &room) != 0)
            return false;
        const std::uint64_t free_bytes = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
        return free_bytes + static_cast<std::uint64_t>(now.st_blocks) * 512 >= size;
    }

    void discard()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (temp_name_.empty()) return; // a file without a name goes with its descriptor
        const SignalsHeld held;
        ::unlink(temp_name_.c_str());
        keep_on_signal();
        temp_name_.clear();
    }

    std::string path_;
    std::string folder_;
    std::string temp_name_; // empty while the file has no name
    bool has_old_;
    struct stat old_ { };
    bool committed_ = false;
};

// The target itself, overwritten where it stands: for a file with other names, which must all
// show the new result, or where no new file can be made beside it. Gives up the promise that a
// reader never sees half a result, so that the user's set-up is kept.
class InPlaceOutput final : public DescriptorOutput {
public:
    explicit InPlaceOutput(int fd)
        : DescriptorOutput(fd)
    {
    }
    void commit() override { settle(); }
};

// A pipe, a terminal, a device: the bytes go in as they come, once each, in order.
class StreamOutput final : public ResultOutput {
public:
    explicit StreamOutput(int fd)
        : fd_(fd)
    {
    }
    ~StreamOutput() override { ::close(fd_); }
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;

    bool random_access() const override { return false; }
    void reserve(std::uint64_t) override { }
    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        if (offset != written_) throw std::logic_error("a stream takes its bytes in order");
        while (size > 0) {
            const ssize_t done = ::write(fd_, data, size);
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) throw_errno(errno); // EPIPE where the reader went away
            if (done == 0) throw_errno(EIO);
            data += done;
            size -= static_cast<std::size_t>(done);
            written_ += static_cast<std::uint64_t>(done);
        }
    }
    void read_at(std::uint64_t, char*, std::size_t) override
    {
        throw std::logic_error("a stream cannot be read back");
    }
    void copy_within(std::uint64_t, std::uint64_t, std::uint64_t) override
    {
        throw std::logic_error("a stream cannot be read back");
    }
    void commit() override { }

private:
    int fd_;
    std::uint64_t written_ = 0;
};

int open_or_throw(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw_errno(errno);
    return fd;
}

std::unique_ptr<ResultOutput> overwrite_in_place(const std::string& path)
{
    // Reading back lets the writer copy what it wrote before; a file the user may only write
    // is emptied first and written in order instead.
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) return std::make_unique<InPlaceOutput>(fd);
    return std::make_unique<StreamOutput>(open_or_throw(path, O_WRONLY | O_TRUNC));
}

} // namespace

std::unique_ptr<ResultOutput> open_result(const std::string& name)
{
    const Target target = find_target(name);
    switch (target.kind) {
    case Target::Kind::folder:
        throw_errno(EISDIR);
    case Target::Kind::other:
        // Through the name itself, so that /dev/stdout reaches whatever standard output is.
        return std::make_unique<StreamOutput>(open_or_throw(name, O_WRONLY));
    case Target::Kind::missing:
        return std::make_unique<ReplacingOutput>(target.path, nullptr);
    case Target::Kind::regular:
        break;
    }
    const std::string& reachable = target.path.empty() ? name : target.path;
    if (!may_write(reachable)) throw_errno(errno);
    if (target.path.empty() || target.info.st_nlink > 1) return overwrite_in_place(reachable);
    try {
        return std::make_unique<ReplacingOutput>(target.path, &target.info);
    } catch (const std::system_error& failure) {
        // No new file can be made in its folder, but the result itself may be written.
        const int code = failure.code().value();
        if (code != EACCES && code != EPERM && code != EROFS && code != ENOSPC && code != EDQUOT)
            throw;
        return overwrite_in_place(target.path);
    }
}

void remove_stale_result(const std::string& name)
{
    Target target;
    try {
        target = find_target(name);
    } catch (const std::system_error&) {
        return;
    }
    if (target.kind != Target::Kind::regular) return;
    const std::string& reachable = target.path.empty() ? name : target.path;
    if (!may_write(reachable)) return;
    // A file with other names is emptied, so that none of them shows a stale result and the
    // links stay; so is one whose folder does not let it be removed.
    if (!target.path.empty() && target.info.st_nlink == 1 && ::unlink(target.path.c_str()) == 0)
        return;
    ::truncate(reachable.c_str(), 0);
}
