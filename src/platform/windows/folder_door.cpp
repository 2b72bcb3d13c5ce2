// The folder door on Windows: a Place's name is a whole path (or one relative to the working
// folder), since Windows names files by path. A file made beside the result is marked for
// deletion from its making until it is renamed into place, so that the system removes it however
// the process ends, TerminateProcess included: no leftovers, and no locks.
#include "handles.h"
#include "utf.h"

#include <vector>

namespace {

constexpr auto mark_for_deletion = [](HANDLE file, bool deleted) {
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    return set_info(file, FileDispositionInfo, disposition);
};

std::error_code identify_at(Handle, const char* name, FileId& id)
{
    // The name itself, not where a link leads.
    const HANDLE file = ::CreateFileW(utf16_of(name).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_error();
    const std::error_code code = system_file_door().identify(handle_from(file), id);
    ::CloseHandle(file);
    return code;
}

// A folder is kept as its path: the place is the whole path.
constexpr auto open_folder_of = [](const std::string& path, Place& place) {
    place = { kNoHandle, path };
    return std::error_code();
};
constexpr auto close_folder = [](Handle) {};

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
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE
            && !system_file_door().identify(file, ours)
            && !system_file_door().identify(handle_from(handle), held) && held.regular
            && same_file(ours, held))
            standing.held_by_standard_stream = true;
    }
    return {};
}

constexpr auto make_unnamed = [](Handle, Handle&) { return not_supported(); };

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

constexpr auto give_name = [](Handle, Handle, const char*) { return not_supported(); };

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

constexpr auto lock_folder = [](Handle, bool) { return false; };
constexpr auto unlock_folder = [](Handle) {};
constexpr auto open_leftover
    = [](Handle, const char*, Handle&, LeftoverFacts&) { return not_supported(); };

constexpr auto rename_no_replace = [](Handle, const char* from, const char* to) {
    return done_if(::MoveFileExW(utf16_of(from).c_str(), utf16_of(to).c_str(), 0));
};

constexpr auto unlink
    = [](Handle, const char* name) { return done_if(::DeleteFileW(utf16_of(name).c_str())); };

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

// A rename written through (MOVEFILE_WRITE_THROUGH) needs no sync of its folder.
constexpr auto sync_folder = [](Handle) { return std::error_code(); };

constexpr FolderDoor kSystemDoor = {
    .working_folder = kNoHandle,
    .renames_over_open_files = false,
#define RUNEL_ENTRY(name, ...) .name = name,
#include "folder_entries.h"
};

} // namespace

const FolderDoor& system_folder_door() noexcept
{
    return kSystemDoor;
}
