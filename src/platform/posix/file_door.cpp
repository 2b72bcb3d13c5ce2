// The file door on POSIX systems: each primitive one or a few system calls on a descriptor. What
// only some systems offer (files without a name, extended attributes) is in speedups.h, with a
// plain fallback.
#include "descriptors.h"
#include "speedups.h"

#include <fcntl.h>
#include <limits>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr auto create_new = [](const char* name, Handle& file) {
    return opened(::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666), file);
};

std::error_code open_existing(const char* name, bool wait, Handle& file, bool& created)
{
    // Nothing at the end of the name: a dangling link, which the opening follows and creates.
    struct stat before { };
    const bool absent = ::stat(name, &before) != 0 && errno == ENOENT;
    // O_CREAT as the plain opening has it: the kernel's protections in shared folders
    // (fs.protected_regular, protected_fifos) apply only to such an opening.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (wait ? 0 : O_NONBLOCK);
    const int fd = ::open(name, flags, 0666);
    if (fd >= 0 && !wait) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    created = fd >= 0 && absent;
    return opened(fd, file);
}

constexpr auto close = [](Handle file) { ::close(fd_of(file)); };

constexpr auto identify = [](Handle file, FileId& id) {
    struct stat info { };
    return identified(::fstat(fd_of(file), &info), info, id);
};

// The group and mode, then the attributes; the owner only root could change, and it is compared.
bool carry_identity(Handle from, Handle to, bool& attributes)
{
    struct stat old { };
    struct stat made { };
    if (::fstat(fd_of(from), &old) != 0 || ::fstat(fd_of(to), &made) != 0) return false;
    if (made.st_gid != old.st_gid) {
        [[maybe_unused]] const int group = ::fchown(fd_of(to), static_cast<uid_t>(-1), old.st_gid);
    }
    [[maybe_unused]] const int mode = ::fchmod(fd_of(to), old.st_mode & 07777);
    attributes = carry_over_attributes(fd_of(from), fd_of(to));
    return ::fstat(fd_of(to), &made) == 0 && made.st_uid == old.st_uid && made.st_gid == old.st_gid
        && made.st_mode == old.st_mode;
}

constexpr auto open_read = [](const char* name, Handle& file) {
    return opened(::open(name, O_RDONLY | O_CLOEXEC), file);
};

// A transfer of `call`, tried again where a signal cut it short.
template <class Call> std::error_code moved(std::size_t& count, Call call)
{
    ssize_t done = 0;
    while ((done = call()) < 0 && errno == EINTR) { }
    if (done < 0) return last_error();
    count = static_cast<std::size_t>(done);
    return {};
}

constexpr auto read = [](Handle file, char* data, std::size_t size, std::size_t& got) {
    return moved(got, [&] { return ::read(fd_of(file), data, size); });
};

std::uint64_t skip_hole(Handle file)
{
#if defined(SEEK_DATA)
    const int fd = fd_of(file);
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    if (here < 0) return 0;
    off_t data = ::lseek(fd, here, SEEK_DATA);
    // No data after here: the hole runs to the end.
    if (data < 0 && errno == ENXIO) data = ::lseek(fd, 0, SEEK_END);
    if (data >= here) return static_cast<std::uint64_t>(data - here);
    ::lseek(fd, here, SEEK_SET);
#else
    (void)file;
#endif
    return 0;
}

constexpr auto write = [](Handle file, const char* data, std::size_t size, std::size_t& written) {
    return moved(written, [&] { return ::write(fd_of(file), data, size); });
};

constexpr auto write_at = [](Handle file, std::uint64_t offset, const char* data, std::size_t size,
                              std::size_t& written) {
    const auto at = static_cast<off_t>(offset);
    return moved(written, [&] { return ::pwrite(fd_of(file), data, size, at); });
};

constexpr auto read_at
    = [](Handle file, std::uint64_t offset, char* data, std::size_t size, std::size_t& got) {
          const auto at = static_cast<off_t>(offset);
          return moved(got, [&] { return ::pread(fd_of(file), data, size, at); });
      };

constexpr auto truncate = [](Handle file, std::uint64_t size) {
    return code_of(::ftruncate(fd_of(file), static_cast<off_t>(size)));
};

// The file system's room for this user. One in memory without a size of its own (ramfs, a tmpfs
// of size 0) has no room but the memory's, which is not the door's to weigh.
FileRoom free_room(Handle file)
{
    struct statvfs room { };
    if (::fstatvfs(fd_of(file), &room) != 0) return {};
    const bool in_memory = memory_backed(fd_of(file));
    if (in_memory && room.f_blocks == 0) return { std::numeric_limits<std::uint64_t>::max(), true };
    return { static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize, in_memory };
}

constexpr auto held_bytes = [](Handle file) -> std::uint64_t {
    struct stat info { };
    return ::fstat(fd_of(file), &info) == 0 ? static_cast<std::uint64_t>(info.st_blocks) * 512 : 0;
};

// Where the file system cannot set blocks aside, a comparison with its room takes the place of
// the reservation.
std::error_code allocate(Handle file, std::uint64_t size)
{
    if (size == 0) return {};
    const int code = allocate_up_front(fd_of(file), size);
    if (code != EOPNOTSUPP) return { code, std::generic_category() };
    const std::uint64_t held = held_bytes(file);
    return size <= held || size - held <= free_room(file).free
        ? std::error_code()
        : std::make_error_code(std::errc::no_space_on_device);
}

constexpr auto sync = synced<::fsync>;
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
constexpr auto sync_data = synced<::fdatasync>;
#else
constexpr auto sync_data = sync;
#endif

constexpr auto duplicate
    = [](Handle file) -> Handle { return ::fcntl(fd_of(file), F_DUPFD_CLOEXEC, 0); };

constexpr FileDoor kSystemDoor = {
    .creates_at_open = true,
#define RUNEL_ENTRY(name, ...) .name = name,
#include "file_entries.h"
};

} // namespace

const FileDoor& system_file_door() noexcept
{
    return kSystemDoor;
}
