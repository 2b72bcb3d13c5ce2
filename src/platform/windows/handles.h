#pragma once

// What the Windows doors share: a handle as a HANDLE, and the system's answers as error codes.

#include "file_door.h"

#include <windows.h>

// NOLINTNEXTLINE(performance-no-int-to-ptr)
inline constexpr auto handle_of = [](Handle handle) { return reinterpret_cast<HANDLE>(handle); };
inline constexpr auto handle_from = [](HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<Handle>(handle);
};

// The system's own code, with its own words: the C++ library compares those the policy acts on
// (a file that exists, a full disk) equal to the portable ones, all but "not supported".
inline std::error_code error(DWORD code)
{
    if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED)
        return std::make_error_code(std::errc::operation_not_supported);
    return { static_cast<int>(code), std::system_category() };
}

inline constexpr auto last_error = [] { return error(::GetLastError()); };
inline constexpr auto done_if = [](BOOL ok) { return ok ? std::error_code() : last_error(); };
inline constexpr auto not_supported
    = [] { return std::make_error_code(std::errc::operation_not_supported); };

// Sets the file's `info` of its `kind` (its size, its room, its deletion).
template <class Info> bool set_info(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, Info info)
{
    return ::SetFileInformationByHandle(file, kind, &info, sizeof info) != 0;
}

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
