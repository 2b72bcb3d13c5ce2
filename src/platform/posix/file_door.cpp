// The file door on POSIX systems: each primitive one or a few system calls on a descriptor. What
// only some systems offer (files without a name, renaming without replacing, extended
// attributes) is in speedups.h, with a plain fallback.
#include "file_door.h"

#include "leftovers.h"
#include "speedups.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::error_code last_error()
{
    return { errno, std::generic_category() };
}

std::error_code code_of(int result)
{
    return result == 0 ? std::error_code() : last_error();
}

int fd_of(Handle handle)
{
    return static_cast<int>(handle);
}

FileId id_of(const struct stat& info)
{
    return { static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
        static_cast<std::uint64_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
        S_ISREG(info.st_mode) };
}

std::error_code opened(int fd, Handle& file)
{
    if (fd < 0) return last_error();
    file = fd;
    return {};
}

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

std::error_code identified(int result, const struct stat& info, FileId& id)
{
    if (result != 0) return last_error();
    id = id_of(info);
    return {};
}

std::error_code identify(Handle file, FileId& id)
{
    struct stat info { };
    return identified(::fstat(fd_of(file), &info), info, id);
}

// The name is looked up, not followed: a link at the name is not the file.
std::error_code identify_at(Handle folder, const char* name, FileId& id)
{
    struct stat info { };
    return identified(::fstatat(fd_of(folder), name, &info, AT_SYMLINK_NOFOLLOW), info, id);
}

std::string path_of_file(Handle file, const char* opened_as)
{
    const std::string path = path_of(fd_of(file));
    return path.empty() ? std::string(opened_as) : path;
}

std::error_code open_folder_of(const std::string& path, Place& place)
{
    place = {};
    const std::string::size_type slash = path.rfind('/');
    const std::string folder_path = slash == std::string::npos ? "."
        : slash == 0                                           ? "/"
                                                               : path.substr(0, slash);
    const int folder = ::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) return last_error();
        return {}; // a folder that cannot be read
    }
    place = { folder, slash == std::string::npos ? path : path.substr(slash + 1) };
    return {};
}

// A file that this process already has open on a standard stream (standard output redirected
// to it, and reached through /dev/stdout).
bool held_by_a_standard_stream(const struct stat& info)
{
    for (int stream = 0; stream <= 2; ++stream) {
        struct stat held { };
        if (::fstat(stream, &held) == 0 && same_file(id_of(held), id_of(info))) return true;
    }
    return false;
}

std::error_code standing(Handle file, Handle folder, FileStanding& standing)
{
    struct stat info { };
    if (::fstat(fd_of(file), &info) != 0) return last_error();
    standing.links = static_cast<std::uint64_t>(info.st_nlink);
    standing.owned_by_user = info.st_uid == ::geteuid();
    standing.held_by_standard_stream = held_by_a_standard_stream(info);
    standing.mount_root = is_mount_root(fd_of(file), fd_of(folder));
    standing.folder_append_only = folder_is_append_only(fd_of(folder));
    return {};
}

std::error_code make_unnamed(Handle folder, Handle& file)
{
    errno = EOPNOTSUPP; // where the system has no such files at all
    const int fd = open_unnamed(fd_of(folder));
    if (fd < 0) return last_error();
    hold_temporary(fd);
    file = fd;
    return {};
}

std::error_code make_named(Handle folder, const char* name, Handle& file)
{
    const int fd = create_temporary(fd_of(folder), name);
    return opened(fd, file);
}

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

std::error_code give_name(Handle file, Handle folder, const char* name)
{
    const int code = name_unnamed(fd_of(file), fd_of(folder), name);
    return { code, std::generic_category() };
}

std::error_code rename_over(Handle, const std::string& from, const Place& place)
{
    const int folder = fd_of(place.folder);
    return code_of(::renameat(folder, from.c_str(), folder, place.name.c_str()));
}

std::error_code names_beginning(
    Handle folder, const std::string& prefix, std::vector<std::string>& names)
{
    names.clear();
    const std::string::size_type slash = prefix.rfind('/');
    const std::string path = slash == std::string::npos ? "" : prefix.substr(0, slash + 1);
    const std::string start = prefix.substr(path.size());
    // A descriptor of the listing's own, so that the folder's keeps its place.
    const int fd = ::openat(
        fd_of(folder), path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_error();
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        const std::error_code code = last_error();
        ::close(fd);
        return code;
    }
    for (;;) {
        errno = 0; // readdir's end and its failure differ only in errno
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) break;
        const std::string name = entry->d_name;
        if (name.starts_with(start)) names.push_back(path + name);
    }
    const std::error_code code = last_error();
    ::closedir(listing);
    return code;
}

ProcessMark this_process()
{
    const auto id = static_cast<std::uint64_t>(::getpid());
    std::uint64_t started = 0;
    bool ended = false;
    process_start(id, started, ended);
    return { id, started };
}

bool process_running(const ProcessMark& process)
{
    if (process.id == 0
        || process.id > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max()))
        return false;
    std::uint64_t started = 0;
    bool ended = false;
    if (process_start(process.id, started, ended))
        return !ended && (process.started == 0 || started == process.started);
    // Where the system records no start (the BSDs, macOS), the number alone: a number given
    // again to a later process makes a dead run look alive, never the other way round.
    return ::kill(static_cast<pid_t>(process.id), 0) == 0 || errno == EPERM;
}

void say(const char* line)
{
    [[maybe_unused]] const ssize_t text = ::write(2, line, std::strlen(line));
    [[maybe_unused]] const ssize_t end = ::write(2, "\n", 1);
}

std::error_code open_read(const char* name, Handle& file)
{
    return opened(::open(name, O_RDONLY | O_CLOEXEC), file);
}

// A transfer of `call`, tried again where a signal cut it short.
template <class Call> std::error_code moved(std::size_t& count, Call call)
{
    ssize_t done = 0;
    while ((done = call()) < 0 && errno == EINTR) { }
    if (done < 0) return last_error();
    count = static_cast<std::size_t>(done);
    return {};
}

std::error_code read(Handle file, char* data, std::size_t size, std::size_t& got)
{
    return moved(got, [&] { return ::read(fd_of(file), data, size); });
}

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

std::error_code write_stream(Handle file, const char* data, std::size_t size, std::size_t& written)
{
    return moved(written, [&] { return ::write(fd_of(file), data, size); });
}

std::error_code write_at(
    Handle file, std::uint64_t offset, const char* data, std::size_t size, std::size_t& written)
{
    const auto at = static_cast<off_t>(offset);
    return moved(written, [&] { return ::pwrite(fd_of(file), data, size, at); });
}

std::error_code read_at(
    Handle file, std::uint64_t offset, char* data, std::size_t size, std::size_t& got)
{
    const auto at = static_cast<off_t>(offset);
    return moved(got, [&] { return ::pread(fd_of(file), data, size, at); });
}

// What the run still needs beside a file in memory once its room is taken: the rendering's
// buffers and caches.
constexpr std::uint64_t kLeftForTheRun = std::uint64_t { 32 } << 20;

// The file system's room for this user; where it is kept in memory (tmpfs, ramfs), no more than
// the memory left, swap not counted: where there is none, a file past it ends in the process
// being killed. A file system in memory without a size of its own (ramfs, a tmpfs of size 0)
// has no room but the memory's.
std::uint64_t room(Handle file)
{
    struct statvfs room { };
    if (::fstatvfs(fd_of(file), &room) != 0) return 0;
    const std::uint64_t free_room = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
    if (!memory_backed(fd_of(file))) return free_room;
    const std::uint64_t available = system_memory_available(); // 0: unknown
    const std::uint64_t memory = available == 0 ? std::numeric_limits<std::uint64_t>::max()
        : available > kLeftForTheRun            ? available - kLeftForTheRun
                                                : 0;
    return room.f_blocks == 0 ? memory : std::min(free_room, memory);
}

std::uint64_t held_bytes(Handle file)
{
    struct stat info { };
    return ::fstat(fd_of(file), &info) == 0 ? static_cast<std::uint64_t>(info.st_blocks) * 512 : 0;
}

// Where the file system cannot set blocks aside, a comparison with its room takes the place of
// the reservation. A file system in memory charges its blocks to the memory limits at once, and
// past them the process is killed instead of told: its room is looked at first.
std::error_code allocate(Handle file, std::uint64_t size)
{
    const auto fits = [&] {
        const std::uint64_t held = held_bytes(file);
        return size <= held || size - held <= room(file);
    };
    if (size == 0) return {};
    if (memory_backed(fd_of(file)) && !fits())
        return std::make_error_code(std::errc::no_space_on_device);
    const int code = allocate_up_front(fd_of(file), size);
    if (code != EOPNOTSUPP) return { code, std::generic_category() };
    return fits() ? std::error_code() : std::make_error_code(std::errc::no_space_on_device);
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

int data_sync(int fd)
{
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
    return ::fdatasync(fd);
#else
    return ::fsync(fd);
#endif
}

// Every signal whose default action ends the process. SIGPIPE and SIGXFSZ are ignored instead,
// so that a closed pipe or a file size limit shows up as a failed write the run reports.
sigset_t fatal_signals()
{
    sigset_t set;
    ::sigemptyset(&set);
    for (const int number : { SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE,
             SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS })
        ::sigaddset(&set, number);
#ifdef SIGPOLL
    ::sigaddset(&set, SIGPOLL);
#endif
#ifdef SIGPWR
    ::sigaddset(&set, SIGPWR);
#endif
#ifdef SIGSTKFLT
    ::sigaddset(&set, SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) ::sigaddset(&set, number);
#endif
    return set;
}

thread_local int held_depth = 0;
thread_local sigset_t held_before;

void hold_signals()
{
    if (held_depth++ > 0) return;
    const sigset_t set = fatal_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, &held_before);
}

void release_signals()
{
    if (--held_depth > 0) return;
    ::pthread_sigmask(SIG_SETMASK, &held_before, nullptr);
}

// What the run takes back before a signal ends it; set once, before any handler is.
void (*take_back_before_ending)() = nullptr;

extern "C" void take_back_and_die(int signal_number)
{
    if (take_back_before_ending != nullptr) take_back_before_ending();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

constexpr FileDoor kSystemDoor = { .working_folder = AT_FDCWD,
    .creates_at_open = true,
    .renames_over_open_files = true,
    .create_new =
        [](const char* name, Handle& file) {
            return opened(
                ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666), file);
        },
    .open_existing = open_existing,
    .reopen_read_write = reopen_read_write,
    .close = [](Handle file) { ::close(fd_of(file)); },
    .identify = identify,
    .identify_at = identify_at,
    .path_of = path_of_file,
    .open_folder_of = open_folder_of,
    .close_folder =
        [](Handle folder) {
            if (folder >= 0) ::close(fd_of(folder));
        },
    .standing = standing,
    .make_unnamed = make_unnamed,
    .make_named = make_named,
    .carry_identity = carry_identity,
    .give_name = give_name,
    .rename_over = rename_over,
    .lock_folder = lock_folder,
    .unlock_folder = unlock_folder,
    .open_leftover = open_leftover,
    .rename_no_replace = rename_no_replace,
    .unlink
    = [](Handle folder, const char* name) { return code_of(::unlinkat(fd_of(folder), name, 0)); },
    .names_beginning = names_beginning,
    .this_process = this_process,
    .process_running = process_running,
    .say = say,
    .open_read = open_read,
    .read = read,
    .skip_hole = skip_hole,
    .write = write_stream,
    .write_at = write_at,
    .read_at = read_at,
    .copy_range = copy_range,
    .truncate =
        [](Handle file, std::uint64_t size) {
            return code_of(::ftruncate(fd_of(file), static_cast<off_t>(size)));
        },
    .allocate = allocate,
    .free_room = room,
    .held_bytes = held_bytes,
    .sync = synced<::fsync>,
    .sync_data = synced<data_sync>,
    .start_writeback = start_writeback,
    .duplicate = [](Handle file) -> Handle { return ::fcntl(fd_of(file), F_DUPFD_CLOEXEC, 0); },
    .sync_folder = synced<::fsync>,
    .hold_signals = hold_signals,
    .release_signals = release_signals };

} // namespace

const FileDoor& system_file_door() noexcept
{
    return kSystemDoor;
}

void prepare_process(void (*take_back)())
{
    take_back_before_ending = take_back;
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    const sigset_t set = fatal_signals();
    for (int number = 1; number < NSIG; ++number) {
        if (::sigismember(&set, number) != 1) continue;
        struct sigaction previous { };
        if (::sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action { };
        action.sa_handler = take_back_and_die;
        // While one signal is handled the others wait, so each file is taken back only once.
        action.sa_mask = set;
        ::sigaction(number, &action, nullptr);
    }
}
