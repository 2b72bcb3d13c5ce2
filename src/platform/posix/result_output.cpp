// The result file on POSIX systems. It is opened by the system's own open, as the plain opening
// for writing opens it (created if missing, through links, with every rule of the system:
// permissions, ACLs, the kernel's link and file protections, mounts, FIFOs), only without
// discarding its content yet. Everything after acts on that descriptor, never on the name
// looked up again.
#include "files.h"

#include "cleanup.h"
#include "free_room.h"
#include "leftovers.h"
#include "speedups.h"
#include "write_behind.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
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

constexpr std::uint64_t kWritebackEvery = std::uint64_t { 8 } << 20;

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A descriptor closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1)
        : fd_(fd)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(Descriptor&& other) noexcept
        : fd_(other.release())
    {
    }
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

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

void write_fully(int fd, std::uint64_t offset, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) throw_errno(errno);
        if (done == 0) throw_errno(EIO);
        data += done;
        size -= static_cast<std::size_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
}

void read_fully(int fd, std::uint64_t offset, char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) throw_errno(errno);
        if (done == 0) throw_errno(EIO); // the bytes were written before: a short file is a fault
        data += done;
        size -= static_cast<std::size_t>(done);
        offset += static_cast<std::uint64_t>(done);
    }
}

// Copies `size` bytes from the start of `in` to the start of `out`.
void copy_file(int in, int out, std::uint64_t size)
{
    std::uint64_t copied = copy_in_kernel(in, 0, out, 0, size);
    std::vector<char> chunk(std::size_t { 1 } << 20);
    while (copied < size) {
        const auto part
            = static_cast<std::size_t>(std::min<std::uint64_t>(size - copied, chunk.size()));
        read_fully(in, copied, chunk.data(), part);
        write_fully(out, copied, chunk.data(), part);
        copied += part;
    }
}

// The folder that holds the file open at `fd`, proven to hold that very file under `base`.
struct Folder {
    Descriptor fd;
    std::string base;
};

// Where the system names the file (through /proc on Linux), else the name it was opened by; its
// folder is opened and asked for that name, which must be the same file and not a link.
std::optional<Folder> folder_holding(int fd, const struct stat& info, const std::string& name)
{
    std::string path = path_of(fd);
    if (path.empty()) path = name;
    const std::string::size_type slash = path.rfind('/');
    const std::string folder_path = slash == std::string::npos ? "."
        : slash == 0                                           ? "/"
                                                               : path.substr(0, slash);
    Folder folder { Descriptor(::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        slash == std::string::npos ? path : path.substr(slash + 1) };
    if (!folder.fd.valid()) {
        // Without descriptors to spare the result could be put in place but not made to last.
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) throw_errno(errno);
        return std::nullopt; // a folder that cannot be read: the file is written where it is
    }
    struct stat named { };
    if (folder.base.empty()
        || ::fstatat(folder.fd.get(), folder.base.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0
        || !same_file(named, info) || !S_ISREG(named.st_mode))
        return std::nullopt;
    return folder;
}

// A file that this process already has open on a standard stream (standard output redirected
// to it, and reached through /dev/stdout): the plain opening rewrites that very file, which a
// replacement would take away from the stream.
bool held_by_a_standard_stream(const struct stat& info)
{
    for (int stream = 0; stream <= 2; ++stream) {
        struct stat held { };
        if (::fstat(stream, &held) == 0 && same_file(held, info)) return true;
    }
    return false;
}

// Whether replacing the file, held at `fd` in `folder`, would change nothing a user could see
// but the atomicity: its other names, owner, mount, folder's rules. (Its attributes are checked
// when the new file is made.)
bool replacing_is_invisible(int fd, const struct stat& info, const Folder& folder)
{
    return info.st_nlink == 1 && info.st_uid == ::geteuid() && !held_by_a_standard_stream(info)
        && !is_mount_root(fd, folder.fd.get()) && !folder_is_append_only(folder.fd.get());
}

// The new result beside the old one: made as any new file is, then given the old one's owner,
// group, mode, extended attributes and ACL exactly; invalid if they could not all be matched.
// `created`: the old file is the one the opening just made, whose identity any new file shares.
Descriptor new_file_like(
    const Folder& folder, int old_fd, const struct stat& old, bool created, std::string& name)
{
    Descriptor file(open_unnamed(folder.fd.get()));
    struct stat made { };
    if (file.valid()) {
        hold_temporary(file.get());
    } else {
        const SignalsHeld held;
        file.reset(create_temporary(folder.fd.get(), folder.base, name));
        if (!file.valid()) return file;
        if (::fstat(file.get(), &made) == 0)
            remove_on_signal(OnSignal::temporary, folder.fd.get(), name, made, false);
    }
    // Failures here show in the comparison below.
    if (::fstat(file.get(), &made) == 0 && made.st_gid != old.st_gid) {
        [[maybe_unused]] const int group = ::fchown(file.get(), static_cast<uid_t>(-1), old.st_gid);
    }
    [[maybe_unused]] const int mode = ::fchmod(file.get(), old.st_mode & 07777);
    const bool attributes = carry_over_attributes(old_fd, file.get()) || created;
    if (attributes && ::fstat(file.get(), &made) == 0 && made.st_uid == old.st_uid
        && made.st_gid == old.st_gid && made.st_mode == old.st_mode)
        return file;
    if (!name.empty()) {
        const SignalsHeld held;
        if (::fstat(file.get(), &made) == 0)
            remove_if_still(folder.fd.get(), name.c_str(), made, false);
        keep_on_signal(OnSignal::temporary);
        name.clear();
    }
    return Descriptor();
}

// A regular file as the result: written beside its name and put in place by a rename where that
// is invisible, else written in place. Writes may come from several threads once room is
// reserved.
class FileOutput final : public ResultOutput {
public:
    // `target` is the file as opened by `name`, `readable` the same file open for reading too
    // (invalid where it cannot be), `folder` where it is proven to be, if anywhere. `created`:
    // the opening made the file. `replaceable`: replacing it would change nothing a user could
    // see, but for its attributes. Written in place until write_beside() succeeds.
    FileOutput(Descriptor target, const struct stat& info, Descriptor readable,
        std::optional<Folder> folder, const std::string& name, bool created, bool replaceable)
        : target_(std::move(target))
        , readable_(std::move(readable))
        , info_(info)
        , folder_(std::move(folder))
        , name_(name)
        , created_(created)
        , replaceable_(replaceable)
    {
        track_result();
    }
    // Uncommitted, the output takes back what it made: the new file, and the result file itself
    // where the opening created it.
    ~FileOutput() override
    {
        drop_new();
        if (!committed_ && created_) remove_named_file();
    }
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    bool random_access() const override { return new_.valid() || readable_.valid(); }

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        if (!new_.valid() && !discarded_.load(std::memory_order_relaxed)) discard_old();
        note_end(offset + size);
        write_fully(written(), offset, data, size);
        note_written(size);
    }

    void read_at(std::uint64_t offset, char* data, std::size_t size) override
    {
        read_fully(written(), offset, data, size);
    }

    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override
    {
        note_end(to + size);
        const std::uint64_t copied = copy_in_kernel(written(), from, written(), to, size);
        note_written(copied);
        // Where the kernel cannot, or stopped short, through memory.
        copy_through_buffer(*this, from + copied, to + copied, size - copied);
    }

    void reserve(std::uint64_t size) override
    {
        if (new_.valid()) {
            const int code = allocate_blocks(new_.get(), size);
            if (code == 0) return;
            // The old result's room comes free only once it is discarded. Where that makes the
            // difference, discard it as the plain opening would have, and write in place:
            // truncating frees its blocks even while a reader holds it open. (Where even that
            // is too little, the old result is refused before it is discarded.)
            if (code != ENOSPC || !readable_.valid()) throw_errno(code);
            drop_new();
        }
        reserve_in_place(target_.get(), size);
    }

    std::uint64_t free_room() const override
    {
        std::uint64_t room = free_bytes(written());
        if (!new_.valid() && !discarded_) room += held_bytes(target_.get());
        return room;
    }

    void commit() override
    {
        settle(written());
        if (new_.valid()) put_in_place();
        committed_ = true;
        forget_result();
        // The rename, or a file this run created, lasts only once its folder reaches the disk.
        if (folder_ && (new_.valid() || created_)) sync_file(folder_->fd.get());
        drop_new();
    }

    void abandon() override
    {
        if (committed_) return;
        write_behind_.stop();
        drop_new();
        // The earlier result goes where it would have been replaced; a file written in place is
        // left as the plain opening would leave it.
        if (replaceable_ || created_) remove_named_file();
        created_ = false;
    }

    /// Writes the result beside the old one from now on, to replace it on commit, where a new
    /// file with the old one's identity can be made.
    void write_beside()
    {
        if (replaceable_)
            new_ = new_file_like(*folder_, target_.get(), info_, created_, temp_name_);
    }

private:
    static std::uint64_t held_bytes(int fd)
    {
        struct stat info { };
        return ::fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_blocks) * 512 : 0;
    }

    // Where the result file is named: the folder proven to hold it, or, for a file the opening
    // made (never through a link, since O_EXCL follows none), the name it was opened by in the
    // working folder (whose listing may be closed to this user).
    std::optional<std::pair<int, const char*>> named_at() const
    {
        if (folder_) return std::pair { folder_->fd.get(), folder_->base.c_str() };
        if (created_) return std::pair { AT_FDCWD, name_.c_str() };
        return std::nullopt;
    }

    // A dying run takes back what a failed one does: the file the opening made, and the earlier
    // result it would have replaced, each only as long as no other run has written into it
    // since (in place, where it could not replace it) before this run began to itself.
    void track_result()
    {
        const auto named = named_at();
        if (!named || !(created_ || replaceable_)) return;
        const SignalsHeld held;
        remove_on_signal(OnSignal::result, named->first, named->second, info_, true);
    }
    void forget_result()
    {
        const SignalsHeld held;
        keep_on_signal(OnSignal::result);
    }

    // Removes the result file, if its name still holds it.
    void remove_named_file()
    {
        forget_result();
        if (const auto named = named_at())
            remove_if_still(named->first, named->second, info_, !changed_.load());
    }

    // The descriptor the result goes through.
    int written() const
    {
        if (new_.valid()) return new_.get();
        return readable_.valid() ? readable_.get() : target_.get();
    }

    // Before this run first changes the file itself: from then on what the file holds is this
    // run's to take back, whatever another run wrote into it before.
    void claim_contents()
    {
        if (changed_.exchange(true)) return;
        written_by_this_run(OnSignal::result);
    }

    // What the plain opening does first: the old content goes.
    void discard_old()
    {
        if (discarded_.load(std::memory_order_relaxed)) return;
        claim_contents();
        if (::ftruncate(target_.get(), 0) != 0) throw_errno(errno);
        discarded_ = true;
    }

    // Room for `size` bytes in the file itself. Refused before the old content goes where the
    // result cannot fit even in its room; asked for again once it has gone, since the old
    // content's blocks go with it.
    void reserve_in_place(int fd, std::uint64_t size)
    {
        claim_contents();
        int code = discarded_ ? 0 : allocate_blocks(fd, size);
        if (code == 0) {
            discard_old();
            code = allocate_blocks(fd, size);
        }
        if (code != 0) throw_errno(code);
    }

    // Cuts the file to what was written (a reservation may run past it) and makes it reach the
    // disk.
    void settle(int fd)
    {
        if (!new_.valid()) discard_old(); // an empty result still replaces the old one
        // A sync behind the writes that failed may have been the only one to see the failure.
        if (const int failed = write_behind_.stop(); failed != 0) throw_errno(failed);
        if (::ftruncate(fd, static_cast<off_t>(end_.load())) != 0) throw_errno(errno);
        sync_file(fd);
    }

    // The new file takes the old one's name. Where the rename is refused all the same (busy,
    // not permitted, another device), the finished result is written in place instead: the old
    // result is never lost on the way to an error.
    void put_in_place()
    {
        const int folder = folder_->fd.get();
        struct stat made { };
        if (::fstat(new_.get(), &made) != 0) throw_errno(errno);
        {
            const SignalsHeld held;
            if (temp_name_.empty()) {
                for (int attempt = 0;; ++attempt) {
                    temp_name_ = temporary_name(folder_->base);
                    remove_on_signal(OnSignal::temporary, folder, temp_name_, made, false);
                    const int code = name_unnamed(new_.get(), folder, temp_name_);
                    if (code == 0) break;
                    keep_on_signal(OnSignal::temporary);
                    temp_name_.clear();
                    if (code != EEXIST || attempt == 100) throw_errno(code);
                }
            }
            if (::renameat(folder, temp_name_.c_str(), folder, folder_->base.c_str()) == 0) {
                keep_on_signal(OnSignal::result);
                keep_on_signal(OnSignal::temporary);
                temp_name_.clear();
                return;
            }
        }
        const int refused = errno;
        if (refused != EBUSY && refused != EPERM && refused != EACCES && refused != EXDEV
            && refused != EROFS)
            throw_errno(refused);
        const std::uint64_t size = end_.load();
        const int into = readable_.valid() ? readable_.get() : target_.get();
        reserve_in_place(into, size);
        copy_file(new_.get(), into, size);
        if (::ftruncate(into, static_cast<off_t>(size)) != 0) throw_errno(errno);
        sync_file(into);
        drop_new();
    }

    // Lets the new file go: one without a name goes with its descriptor.
    void drop_new()
    {
        if (!temp_name_.empty()) {
            const SignalsHeld held;
            struct stat made { };
            if (::fstat(new_.get(), &made) == 0)
                remove_if_still(folder_->fd.get(), temp_name_.c_str(), made, false);
            keep_on_signal(OnSignal::temporary);
            temp_name_.clear();
        }
        new_.reset();
    }

    // Keeps what was written on its way to the disk, so that the sync before the result is put
    // in place waits for little more than the last of it instead of all.
    void note_written(std::uint64_t bytes) { write_behind_.note_written(written(), bytes); }

    void note_end(std::uint64_t end)
    {
        std::uint64_t seen = end_.load(std::memory_order_relaxed);
        while (seen < end && !end_.compare_exchange_weak(seen, end, std::memory_order_relaxed)) { }
    }

    Descriptor target_; // the file as the opening opened it
    Descriptor readable_; // the same file, open for reading too
    struct stat info_;
    std::optional<Folder> folder_; // where the file is proven to be, if anywhere
    std::string name_; // the name it was opened by
    Descriptor new_; // the new result while it is written beside the old one
    std::string temp_name_; // its name, while it has one
    bool created_;
    bool replaceable_;
    std::atomic<bool> discarded_ { false }; // the old content has gone
    std::atomic<bool> changed_ { false }; // this run has begun to change the file itself
    bool committed_ = false;
    // The end of what was written: the result's size. Writes may come from several threads.
    std::atomic<std::uint64_t> end_ { 0 };
    WriteBehind write_behind_ { kWritebackEvery }; // stopped before the descriptors close
};

// A pipe, a terminal, a device: the bytes go in as they come, once each, in order.
class StreamOutput final : public ResultOutput {
public:
    explicit StreamOutput(Descriptor fd)
        : fd_(std::move(fd))
    {
    }

    bool random_access() const override { return false; }
    void reserve(std::uint64_t) override { }
    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        if (offset != written_) throw std::logic_error("a stream takes its bytes in order");
        while (size > 0) {
            const ssize_t done = ::write(fd_.get(), data, size);
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
    Descriptor fd_;
    std::uint64_t written_ = 0;
};

// The plain opening for writing, without discarding the content: O_EXCL first only to learn
// whether the opening made the file, which a signal then takes back with the run. `info`: what
// the file is.
Descriptor open_as_writing_would(const std::string& name, bool& created, struct stat& info)
{
    constexpr int kFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY;
    // A name that comes and goes between the two opens is tried again, a few times.
    for (int attempt = 0;; ++attempt) {
        {
            // O_EXCL never opens what is there, so never waits on a FIFO with signals held.
            const SignalsHeld held;
            Descriptor made(::open(name.c_str(), kFlags | O_EXCL, 0666));
            created = made.valid();
            if (created) {
                if (::fstat(made.get(), &info) != 0) throw_errno(errno);
                remove_on_signal(OnSignal::result, AT_FDCWD, name, info, true);
                return made;
            }
        }
        if (errno == EEXIST) {
            Descriptor opened(::open(name.c_str(), kFlags, 0666));
            if (opened.valid()) {
                if (::fstat(opened.get(), &info) != 0) throw_errno(errno);
                return opened;
            }
        }
        if (errno != EINTR && (errno != ENOENT || attempt == 8)) throw_errno(errno);
    }
}

} // namespace

namespace {

std::unique_ptr<ResultOutput> open_regular(
    Descriptor target, const struct stat& info, bool created, const std::string& name)
{
    Descriptor readable(reopen_read_write(target.get(), name));
    std::optional<Folder> folder = folder_holding(target.get(), info, name);
    const bool replaceable = folder && replacing_is_invisible(target.get(), info, *folder);
    if (folder) remove_leftovers(folder->fd.get(), folder->base);
    // A failed run takes back a file the opening made, and one it would have replaced (even one
    // written in place for attributes that could not be carried over).
    auto output = std::make_unique<FileOutput>(std::move(target), info, std::move(readable),
        std::move(folder), name, created, replaceable);
    output->write_beside();
    return output;
}

} // namespace

std::unique_ptr<ResultOutput> open_result(const std::string& name)
{
    bool created = false;
    struct stat info { };
    Descriptor target = open_as_writing_would(name, created, info);
    try {
        if (!S_ISREG(info.st_mode)) return std::make_unique<StreamOutput>(std::move(target));
        return open_regular(std::move(target), info, created, name);
    } catch (...) {
        // The file the opening made under that very name (O_EXCL follows no link) goes again.
        if (created) {
            const SignalsHeld held;
            remove_if_still(AT_FDCWD, name.c_str(), info, true);
            keep_on_signal(OnSignal::result);
        }
        throw;
    }
}

void remove_stale_result(const std::string& name)
{
    // Only a regular file: a FIFO's reader must not see an end.
    // Opened for writing, so that the system's own rules say whether this run could have
    // written it; its content is kept.
    struct stat info { };
    if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    Descriptor file(::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    try {
        const std::optional<Folder> folder = folder_holding(file.get(), info, name);
        if (!folder || !replacing_is_invisible(file.get(), info, *folder)) return;
        remove_if_still(folder->fd.get(), folder->base.c_str(), info, true);
    } catch (const std::system_error&) {
        // Not even the folder could be opened: the stale result stays.
    }
}
