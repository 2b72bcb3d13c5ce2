// The file door on Windows, through the wide-character calls. Names are UTF-8 here and widened
// at each call.
#include "handles.h"
#include "utf.h"

#include <algorithm>
#include <vector>

namespace {

// One call moves at most this much, well below what a DWORD counts.
constexpr std::uint64_t kMaxTransfer = std::uint64_t { 1 } << 30;

constexpr auto part_of = [](std::size_t size) {
    return static_cast<DWORD>(std::min<std::uint64_t>(size, kMaxTransfer));
};

constexpr auto at_offset = [](std::uint64_t offset) {
    OVERLAPPED position {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
};

// Windows makes a missing result beside its name (creates_at_open is false).
constexpr auto create_new = [](const char*, Handle&) { return not_supported(); };

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

constexpr auto reopen_read_write = [](Handle file, const char*) {
    return handle_from(::ReOpenFile(handle_of(file), GENERIC_READ | GENERIC_WRITE, kShareAll, 0));
};

constexpr auto close = [](Handle file) { ::CloseHandle(handle_of(file)); };

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

// Nothing to carry over: a new file there gets what the folder gives, as the old one did.
constexpr auto carry_identity = [](Handle, Handle, bool& attributes) {
    attributes = true;
    return true;
};

std::error_code open_read(const char* name, Handle& file)
{
    file = handle_from(::CreateFileW(utf16_of(name).c_str(), GENERIC_READ, kShareAll, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file == kNoHandle ? last_error() : std::error_code();
}

// One ReadFile or WriteFile, at `position` (nullptr: where a stream stands); the error `end`
// is the file's end, not a fault.
template <class Data>
std::error_code moved(BOOL(WINAPI* call)(HANDLE, Data, DWORD, DWORD*, OVERLAPPED*), Handle file,
    Data data, std::size_t size, std::size_t& count, OVERLAPPED* position, DWORD end = 0)
{
    DWORD done = 0;
    const BOOL ok = call(handle_of(file), data, part_of(size), &done, position);
    count = done;
    return ok || (end != 0 && ::GetLastError() == end) ? std::error_code() : last_error();
}

// A pipe whose writer has gone is at its end.
constexpr auto read = [](Handle file, char* data, std::size_t size, std::size_t& got) {
    return moved<void*>(::ReadFile, file, data, size, got, nullptr, ERROR_BROKEN_PIPE);
};

constexpr auto skip_hole = [](Handle) { return std::uint64_t { 0 }; }; // NTFS reads holes quickly

constexpr auto write = [](Handle file, const char* data, std::size_t size, std::size_t& written) {
    return moved<const void*>(::WriteFile, file, data, size, written, nullptr);
};

constexpr auto write_at = [](Handle file, std::uint64_t offset, const char* data, std::size_t size,
                              std::size_t& written) {
    OVERLAPPED position = at_offset(offset);
    return moved<const void*>(::WriteFile, file, data, size, written, &position);
};

constexpr auto read_at
    = [](Handle file, std::uint64_t offset, char* data, std::size_t size, std::size_t& read) {
          OVERLAPPED position = at_offset(offset);
          return moved<void*>(::ReadFile, file, data, size, read, &position, ERROR_HANDLE_EOF);
      };

constexpr auto truncate = [](Handle file, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return done_if(set_info(handle_of(file), FileEndOfFileInfo, end));
};

constexpr auto copy_range = [](Handle, std::uint64_t, Handle, std::uint64_t, std::uint64_t) {
    return std::uint64_t { 0 };
};

constexpr auto held_bytes = [](Handle file) -> std::uint64_t {
    FILE_STANDARD_INFO info {};
    if (!::GetFileInformationByHandleEx(handle_of(file), FileStandardInfo, &info, sizeof info))
        return 0;
    return static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
};

// The room left on the volume that holds the file, for this user (quotas included).
FileRoom free_room(Handle file)
{
    // The folder: GetDiskFreeSpaceExW wants one.
    std::wstring folder = final_path(file);
    if (folder.empty()) return {};
    folder.resize(folder.find_last_of(L"\\/") + 1);
    ULARGE_INTEGER available {};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return {};
    return { available.QuadPart, false };
}

// The free room is compared first: Wine cannot hold room up front, and NTFS may say a file's
// room is held where quotas would still refuse its writes.
std::error_code allocate(Handle file, std::uint64_t size)
{
    const std::uint64_t held = held_bytes(file);
    if (size > held && size - held > free_room(file).free)
        return std::make_error_code(std::errc::no_space_on_device);
    FILE_ALLOCATION_INFO allocation {};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (set_info(handle_of(file), FileAllocationInfo, allocation)) return {};
    const std::error_code code = last_error();
    if (code == std::errc::operation_not_supported || ::GetLastError() == ERROR_INVALID_PARAMETER
        || ::GetLastError() == ERROR_CALL_NOT_IMPLEMENTED)
        return {};
    return code;
}

// The data and the metadata alike: Windows has no call for the data alone.
constexpr auto sync = [](Handle file) { return done_if(::FlushFileBuffers(handle_of(file))); };
constexpr auto sync_data = sync;
constexpr auto start_writeback = [](Handle) {};

constexpr auto duplicate = [](Handle file) -> Handle {
    HANDLE copy = INVALID_HANDLE_VALUE;
    return ::DuplicateHandle(::GetCurrentProcess(), handle_of(file), ::GetCurrentProcess(), &copy,
               0, FALSE, DUPLICATE_SAME_ACCESS)
        ? handle_from(copy)
        : kNoHandle;
};

constexpr FileDoor kSystemDoor = {
    .creates_at_open = false,
#define RUNEL_ENTRY(name, ...) .name = name,
#include "file_entries.h"
};

} // namespace

const FileDoor& system_file_door() noexcept
{
    return kSystemDoor;
}
