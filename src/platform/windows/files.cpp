// The board file on Windows, through the wide-character calls: a name the program gives is read
// in the ANSI code page, as Windows reads narrow names.
#include "files.h"

#include <windows.h>

#include <algorithm>
#include <system_error>

namespace {

std::wstring wide_name(const std::string& name)
{
    if (name.empty()) return {};
    const int size
        = ::MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, name.data(), static_cast<int>(name.size()), wide.data(), size);
    return wide;
}

[[noreturn]] void throw_last_error()
{
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category());
}

// One call moves at most this much, well below what a DWORD counts.
constexpr std::uint64_t kMaxTransfer = std::uint64_t { 1 } << 30;

// The door keeps a handle as an integer, so that files.h includes no system header.
HANDLE handle_of(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle); // NOLINT(performance-no-int-to-ptr)
}

} // namespace

InputFile::InputFile(const std::string& name)
{
    const HANDLE file = ::CreateFileW(wide_name(name).c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw_last_error();
    handle_ = reinterpret_cast<std::intptr_t>(file);
    LARGE_INTEGER size {};
    if (::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size))
        size_at_open_ = static_cast<std::uint64_t>(size.QuadPart);
}

InputFile::~InputFile()
{
    ::CloseHandle(handle_of(handle_));
}

std::size_t InputFile::read(char* data, std::size_t size)
{
    DWORD got = 0;
    const auto part = static_cast<DWORD>(std::min<std::uint64_t>(size, kMaxTransfer));
    if (!::ReadFile(handle_of(handle_), data, part, &got, nullptr)) {
        // A pipe whose writer has gone is at its end.
        if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
        throw_last_error();
    }
    return got;
}

std::uint64_t InputFile::skip_hole()
{
    return 0; // NTFS reads a sparse file's holes quickly enough
}
