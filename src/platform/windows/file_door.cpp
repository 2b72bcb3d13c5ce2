// The result file's door on Windows, through the wide-character calls. Names are UTF-8 here and
// widened at each call; a Place's name is a whole path (or one relative to the working folder),
// since Windows names files by path. A file made beside the result is marked for deletion from
// its making until it is renamed into place, so that the system removes it however the process
// ends, TerminateProcess included.
#include "file_door.h"

#include "console.h"
#include "utf.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

HANDLE handle_of(Handle handle)
{
    return reinterpret_cast<HANDLE>(handle); // NOLINT(performance-no-int-to-ptr)
}

Handle handle_from(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<Handle>(handle);
}

// The system's own code, with its own words: the C++ library compares those the policy acts on
// (a file that exists, a full disk) equal to the portable ones, all but "not supported".
std::error_code error(DWORD code)
{
    if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED)
        return std::make_error_code(std::errc::operation_not_supported);
    return { static_cast<int>(code), std::system_category() };
}

std::error_code last_error()
{
    return error(::GetLastError());
}

std::error_code done_if(BOOL ok)
{
    return ok ? std::error_code() : last_error();
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// One call moves at most this much, well below what a DWORD counts.
constexpr std::uint64_t kMaxTransfer = std::uint64_t { 1 } << 30;

DWORD part_of(std::size_t size)
{
    return static_cast<DWORD>(std::min<std::uint64_t>(size, kMaxTransfer));
}

OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED position {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

bool mark_for_deletion(HANDLE file, bool deleted)
{
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
        != 0;
}

std::error_code open_existing(const char* name, bool, Handle& file, bool& created)
{
    created = false;
    const std::wstring path = utf16_of(name);
    // The read-only attribute protects a file even from an administrator; say so as the
    // opening itself would (Wine running as root would otherwise open it).
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
        && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return error(ERROR_ACCESS_DENIED);
    file = handle_from(::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file == kNoHandle ? last_error() : std::error_code();
}

std::error_code identify(Handle file, FileId& id)
{
    BY_HANDLE_FILE_INFORMATION info {};
    if (::GetFileType(handle_of(file)) != FILE_TYPE_DISK) {
        id = {};
        return {};
    }
    if (!::GetFileInformationByHandle(handle_of(file), &info)) return last_error();
    id.device = info.dwVolumeSerialNumber;
    id.index = (std::uint64_t { info.nFileIndexHigh } << 32) | info.nFileIndexLow;
    id.size = (std::uint64_t { info.nFileSizeHigh } << 32) | info.nFileSizeLow;
    id.modified
        = static_cast<std::int64_t>((std::uint64_t { info.ftLastWriteTime.dwHighDateTime } << 32)
            | info.ftLastWriteTime.dwLowDateTime);
    id.regular
        = !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    return {};
}

std::error_code identify_at(Handle, const char* name, FileId& id)
{
    // The name itself, not where a link leads.
    const HANDLE file = ::CreateFileW(utf16_of(name).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_error();
    const std::error_code code = identify(handle_from(file), id);
    ::CloseHandle(file);
    return code;
}

// A path that `call` writes into a buffer of the size it is given, answering the length it
// needs; empty where it fails.
template <class Call> std::wstring path_from(Call call)
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = call(path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) return std::wstring(path.data(), length);
        path.resize(length + 1);
    }
}

std::wstring final_path(Handle file)
{
    return path_from([file](wchar_t* path, DWORD size) {
        return ::GetFinalPathNameByHandleW(handle_of(file), path, size, FILE_NAME_NORMALIZED);
    });
}

// Where the system says the file is, else the name it was opened by made whole.
std::string path_of(Handle file, const char* opened_as)
{
    std::wstring path = final_path(file);
    if (path.empty()) {
        const std::wstring name = utf16_of(opened_as);
        path = path_from([&name](wchar_t* whole, DWORD size) {
            return ::GetFullPathNameW(name.c_str(), size, whole, nullptr);
        });
    }
    return utf8_of(path);
}

std::error_code standing(Handle file, Handle, FileStanding& standing)
{
    BY_HANDLE_FILE_INFORMATION info {};
    if (!::GetFileInformationByHandle(handle_of(file), &info)) return last_error();
    standing.links = info.nNumberOfLinks;
    // The file standard output already writes: a replacement would take it from the stream.
    FileId ours;
    FileId held;
    for (const DWORD stream : { STD_OUTPUT_HANDLE, STD_ERROR_HANDLE }) {
        const HANDLE handle = ::GetStdHandle(stream);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && !identify(file, ours)
            && !identify(handle_from(handle), held) && held.regular && same_file(ours, held))
            standing.held_by_standard_stream = true;
    }
    return {};
}

// Others may read it, and it may be renamed while open; marked for deletion from its making, so
// that the system removes it however the run ends.
std::error_code make_named(Handle, const char* name, Handle& file)
{
    const std::wstring path = utf16_of(name);
    const HANDLE made = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (made == INVALID_HANDLE_VALUE) return last_error();
    if (!mark_for_deletion(made, true)) {
        const std::error_code code = last_error();
        ::CloseHandle(made);
        ::DeleteFileW(path.c_str());
        return code;
    }
    file = handle_from(made);
    return {};
}

std::error_code rename_over(Handle file, const std::string& from, const Place& place)
{
    if (!mark_for_deletion(handle_of(file), false)) return last_error();
    if (::MoveFileExW(utf16_of(from).c_str(), utf16_of(place.name).c_str(),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    const std::error_code refused = last_error();
    mark_for_deletion(handle_of(file), true);
    return refused;
}

std::error_code names_beginning(Handle, const std::string& prefix, std::vector<std::string>& names)
{
    names.clear();
    const std::string::size_type slash = prefix.find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? "" : prefix.substr(0, slash + 1);
    const std::wstring start = utf16_of(prefix.substr(folder.size()));
    WIN32_FIND_DATAW found {};
    const HANDLE search = ::FindFirstFileExW(
        utf16_of(prefix + "*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND ? std::error_code() : last_error();
    do {
        // The pattern may also match a file's short name.
        const std::wstring name = found.cFileName;
        if (name.starts_with(start)) names.push_back(folder + utf8_of(name));
    } while (::FindNextFileW(search, &found));
    const DWORD ended = ::GetLastError();
    ::FindClose(search);
    return ended == ERROR_NO_MORE_FILES ? std::error_code() : error(ended);
}

std::uint64_t time_of(const FILETIME& time)
{
    return (std::uint64_t { time.dwHighDateTime } << 32) | time.dwLowDateTime;
}

ProcessMark this_process()
{
    FILETIME created {};
    FILETIME exited {};
    FILETIME kernel {};
    FILETIME user {};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) created = {};
    return { ::GetCurrentProcessId(), time_of(created) };
}

bool process_running(const ProcessMark& process)
{
    if (process.id == 0 || process.id > MAXDWORD) return false;
    const HANDLE handle = ::OpenProcess(
        PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(process.id));
    // No such process; any other refusal (another user's) leaves it running as far as is known.
    if (handle == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;
    FILETIME created {};
    FILETIME exited {};
    FILETIME kernel {};
    FILETIME user {};
    // A process that has ended lives on as an object while anyone holds a handle to it.
    const bool ended = ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
    const bool other = process.started != 0
        && ::GetProcessTimes(handle, &created, &exited, &kernel, &user)
        && time_of(created) != process.started;
    ::CloseHandle(handle);
    return !ended && !other;
}

std::error_code open_read(const char* name, Handle& file)
{
    file = handle_from(::CreateFileW(utf16_of(name).c_str(), GENERIC_READ, kShareAll, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file == kNoHandle ? last_error() : std::error_code();
}

std::error_code read(Handle file, char* data, std::size_t size, std::size_t& got)
{
    DWORD done = 0;
    const BOOL ok = ::ReadFile(handle_of(file), data, part_of(size), &done, nullptr);
    got = done;
    // A pipe whose writer has gone is at its end.
    return ok || ::GetLastError() == ERROR_BROKEN_PIPE ? std::error_code() : last_error();
}

std::error_code write_stream(Handle file, const char* data, std::size_t size, std::size_t& written)
{
    DWORD done = 0;
    const BOOL ok = ::WriteFile(handle_of(file), data, part_of(size), &done, nullptr);
    written = done;
    return done_if(ok);
}

std::error_code write_at(
    Handle file, std::uint64_t offset, const char* data, std::size_t size, std::size_t& written)
{
    OVERLAPPED position = at_offset(offset);
    DWORD done = 0;
    const BOOL ok = ::WriteFile(handle_of(file), data, part_of(size), &done, &position);
    written = done;
    return done_if(ok);
}

std::error_code read_at(
    Handle file, std::uint64_t offset, char* data, std::size_t size, std::size_t& read)
{
    OVERLAPPED position = at_offset(offset);
    DWORD done = 0;
    const BOOL ok = ::ReadFile(handle_of(file), data, part_of(size), &done, &position);
    read = done;
    if (!ok && ::GetLastError() == ERROR_HANDLE_EOF) return {};
    return done_if(ok);
}

std::error_code truncate(Handle file, std::uint64_t size)
{
    FILE_END_OF_FILE_INFO end {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return done_if(
        ::SetFileInformationByHandle(handle_of(file), FileEndOfFileInfo, &end, sizeof end));
}

std::uint64_t held_bytes(Handle file)
{
    FILE_STANDARD_INFO info {};
    if (!::GetFileInformationByHandleEx(handle_of(file), FileStandardInfo, &info, sizeof info))
        return 0;
    return static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
}

// The room left on the volume that holds the file, for this user (quotas included).
std::uint64_t room(Handle file)
{
    // The folder: GetDiskFreeSpaceExW wants one.
    std::wstring folder = final_path(file);
    if (folder.empty()) return 0;
    folder.resize(folder.find_last_of(L"\\/") + 1);
    ULARGE_INTEGER available {};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return 0;
    return available.QuadPart;
}

// The free room is compared first: Wine cannot hold room up front, and NTFS may say a file's
// room is held where quotas would still refuse its writes.
std::error_code allocate(Handle file, std::uint64_t size)
{
    const std::uint64_t held = held_bytes(file);
    if (size > held && size - held > room(file))
        return std::make_error_code(std::errc::no_space_on_device);
    FILE_ALLOCATION_INFO allocation {};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFileInformationByHandle(
            handle_of(file), FileAllocationInfo, &allocation, sizeof allocation))
        return {};
    const std::error_code code = last_error();
    if (code == std::errc::operation_not_supported || ::GetLastError() == ERROR_INVALID_PARAMETER
        || ::GetLastError() == ERROR_CALL_NOT_IMPLEMENTED)
        return {};
    return code;
}

Handle duplicate(Handle file)
{
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle_of(file), ::GetCurrentProcess(), &copy, 0,
            FALSE, DUPLICATE_SAME_ACCESS))
        return kNoHandle;
    return handle_from(copy);
}

// Held while a file is made, marked or renamed; a console event (Ctrl+C, a closed window) takes
// it before ending the process and never gives it back, so the process never ends part-way
// through one of those steps.
std::recursive_mutex steps;

// What the run takes back before a console event ends it; set once, before the handler is.
void (*take_back_before_ending)() = nullptr;

BOOL WINAPI end_on_console_event(DWORD)
{
    steps.lock();
    if (take_back_before_ending != nullptr) take_back_before_ending();
    ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// The data and the metadata alike: Windows has no call for the data alone.
constexpr auto flush = [](Handle file) { return done_if(::FlushFileBuffers(handle_of(file))); };

constexpr FileDoor kSystemDoor = { .working_folder = kNoHandle,
    .creates_at_open = false,
    .renames_over_open_files = false,
    // Windows makes a missing result beside its name (creates_at_open is false).
    .create_new
    = [](const char*, Handle&) { return std::make_error_code(std::errc::operation_not_supported); },
    .open_existing = open_existing,
    .reopen_read_write =
        [](Handle file, const char*) {
            return handle_from(
                ::ReOpenFile(handle_of(file), GENERIC_READ | GENERIC_WRITE, kShareAll, 0));
        },
    .close = [](Handle file) { ::CloseHandle(handle_of(file)); },
    .identify = identify,
    .identify_at = identify_at,
    .path_of = path_of,
    // A folder is kept as its path: the place is the whole path.
    .open_folder_of =
        [](const std::string& path, Place& place) {
            place = { kNoHandle, path };
            return std::error_code();
        },
    .close_folder = [](Handle) {}, // a folder is kept as its path
    .standing = standing,
    .make_unnamed
    = [](Handle, Handle&) { return std::make_error_code(std::errc::operation_not_supported); },
    .make_named = make_named,
    // Nothing to carry over: a new file there gets what the folder gives, as the old one did.
    .carry_identity =
        [](Handle, Handle, bool& attributes) {
            attributes = true;
            return true;
        },
    .give_name
    = [](Handle, Handle,
          const char*) { return std::make_error_code(std::errc::operation_not_supported); },
    .rename_over = rename_over,
    // Temporary files go with their runs (marked for deletion): no leftovers, no locks.
    .lock_folder = [](Handle, bool) { return false; },
    .unlock_folder = [](Handle) {},
    .open_leftover
    = [](Handle, const char*, Handle&,
          LeftoverFacts&) { return std::make_error_code(std::errc::operation_not_supported); },
    .rename_no_replace =
        [](Handle, const char* from, const char* to) {
            return done_if(::MoveFileExW(utf16_of(from).c_str(), utf16_of(to).c_str(), 0));
        },
    .unlink
    = [](Handle, const char* name) { return done_if(::DeleteFileW(utf16_of(name).c_str())); },
    .names_beginning = names_beginning,
    .this_process = this_process,
    .process_running = process_running,
    .say = [](const char* line) { write_error_text(std::string(line) + "\n"); },
    .open_read = open_read,
    .read = read,
    .skip_hole = [](Handle) { return std::uint64_t { 0 }; }, // NTFS reads holes quickly enough
    .write = write_stream,
    .write_at = write_at,
    .read_at = read_at,
    .copy_range = [](Handle, std::uint64_t, Handle, std::uint64_t,
                      std::uint64_t) { return std::uint64_t { 0 }; },
    .truncate = truncate,
    .allocate = allocate,
    .free_room = room,
    .held_bytes = held_bytes,
    .sync = flush,
    .sync_data = flush,
    .start_writeback = [](Handle) {},
    .duplicate = duplicate,
    // A rename written through (MOVEFILE_WRITE_THROUGH) needs no sync of its folder.
    .sync_folder = [](Handle) { return std::error_code(); },
    .hold_signals = [] { steps.lock(); },
    .release_signals = [] { steps.unlock(); } };

} // namespace

const FileDoor& system_file_door() noexcept
{
    return kSystemDoor;
}

void prepare_process(void (*take_back)())
{
    take_back_before_ending = take_back;
    // No dialog box for a missing disk or a crash: this is a console program run by others.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetConsoleCtrlHandler(end_on_console_event, TRUE);
}
