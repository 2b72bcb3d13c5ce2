// The file system door on Windows, through the wide-character calls: a name the program gives
// is read in the ANSI code page, as Windows reads narrow names, and widened once, here; the names
// this door makes from it (temporary files, a link's target) stay wide.
#include "files.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

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

OVERLAPPED at_offset(std::uint64_t offset)
{
    OVERLAPPED position {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return position;
}

// A temporary result is marked for deletion from its creation until the moment it is renamed
// into place, so that the system removes it when the process ends, however it ends. Marking it
// and unmarking it for the rename are each held under this lock, which a console event (Ctrl+C,
// a closed window) takes before ending the process, and never gives back: the process then never
// ends in the middle of either step.
std::mutex temporary_file_steps;

BOOL WINAPI end_on_console_event(DWORD event)
{
    (void)event;
    temporary_file_steps.lock();
    ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

bool mark_for_deletion(HANDLE file, bool deleted)
{
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)
        != 0;
}

class Handle {
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE)
        : handle_(handle)
    {
    }
    ~Handle()
    {
        if (valid()) ::CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    HANDLE handle_;
};

// Moves `size` bytes at `offset` in calls of at most kMaxTransfer; `call` moves one part at its
// position and returns how many bytes it moved, none meaning the file ended first.
template <class Call> void in_parts(std::uint64_t offset, std::size_t size, Call call)
{
    while (size > 0) {
        const auto part = static_cast<DWORD>(std::min<std::uint64_t>(size, kMaxTransfer));
        OVERLAPPED position = at_offset(offset);
        const DWORD done = call(part, position);
        // Nothing moved: a read met the end of bytes written before (a fault), or a write
        // made no progress.
        if (done == 0) throw std::system_error(ERROR_HANDLE_EOF, std::system_category());
        size -= done;
        offset += done;
    }
}

// The room left on the volume that holds `name`, for this user (quotas included).
std::uint64_t free_bytes_beside(const std::wstring& name)
{
    // GetFullPathNameW gives the folder without asking whether it exists yet.
    std::vector<wchar_t> full(MAX_PATH);
    wchar_t* file_part = nullptr;
    for (;;) {
        const DWORD needed = ::GetFullPathNameW(
            name.c_str(), static_cast<DWORD>(full.size()), full.data(), &file_part);
        if (needed == 0) throw_last_error();
        if (needed < full.size()) break;
        full.resize(needed);
    }
    if (file_part != nullptr) *file_part = L'\0';
    ULARGE_INTEGER available {};
    if (!::GetDiskFreeSpaceExW(full.data(), &available, nullptr, nullptr)) throw_last_error();
    return available.QuadPart;
}

// Opens an existing `name` for writing as a plain opening would, without changing it; an
// invalid handle if there is no such file.
HANDLE open_existing_for_writing(const std::wstring& name, DWORD extra_access = 0)
{
    // The read-only attribute protects a file even from an administrator; say so as the
    // opening itself would (Wine running as root would otherwise open it).
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
        && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw std::system_error(ERROR_ACCESS_DENIED, std::system_category());
    const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_WRITE | extra_access,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code != ERROR_FILE_NOT_FOUND) throw_last_error();
    }
    return file;
}

enum class Allocation { held, not_held, no_room };

// Asks the file system to hold `size` bytes for `file` up front, where it can (NTFS can; Wine
// cannot, and the free-space check before it is all there is there).
Allocation allocate(HANDLE file, std::uint64_t size)
{
    FILE_ALLOCATION_INFO allocation {};
    allocation.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation))
        return Allocation::held;
    const DWORD code = ::GetLastError();
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) return Allocation::no_room;
    if (code == ERROR_CALL_NOT_IMPLEMENTED || code == ERROR_INVALID_PARAMETER
        || code == ERROR_NOT_SUPPORTED)
        return Allocation::not_held;
    throw std::system_error(static_cast<int>(code), std::system_category());
}

// Makes `file` end at `size`, giving back its room past that.
bool set_end(HANDLE file, std::uint64_t size)
{
    LARGE_INTEGER position {};
    position.QuadPart = static_cast<LONGLONG>(size);
    return ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

[[noreturn]] void throw_no_room()
{
    throw std::system_error(std::make_error_code(std::errc::no_space_on_device));
}

// A regular file: written beside its final name and renamed over it on commit. Where the new
// result fits only once the old one is gone, the old one is discarded and its own file written
// in place instead, as a plain opening for writing would have done, rather than refusing for
// want of room for two copies.
// Which file a handle reaches, and how it stood: a result that another run has put in place
// since (renamed over the name, or written into) differs in one of them.
using FileSeen = BY_HANDLE_FILE_INFORMATION;

std::optional<FileSeen> seen(HANDLE file)
{
    FileSeen now {};
    if (!::GetFileInformationByHandle(file, &now)) return std::nullopt;
    return now;
}

bool still_as_seen(HANDLE file, const FileSeen& before)
{
    const std::optional<FileSeen> now = seen(file);
    return now && now->dwVolumeSerialNumber == before.dwVolumeSerialNumber
        && now->nFileIndexHigh == before.nFileIndexHigh
        && now->nFileIndexLow == before.nFileIndexLow && now->nFileSizeHigh == before.nFileSizeHigh
        && now->nFileSizeLow == before.nFileSizeLow
        && ::CompareFileTime(&now->ftLastWriteTime, &before.ftLastWriteTime) == 0;
}

// Removes an earlier result at `name` where this run would itself have replaced it: a disk file
// it may write, and, given `expected`, only while it is still the file this run saw there.
void remove_stale(const std::wstring& name, const std::optional<FileSeen>& expected = {})
{
    try {
        const Handle existing(open_existing_for_writing(name, DELETE));
        if (existing.valid() && ::GetFileType(existing.get()) == FILE_TYPE_DISK
            && (!expected || still_as_seen(existing.get(), *expected)))
            mark_for_deletion(existing.get(), true);
    } catch (const std::system_error&) {
        // Protected, a folder, or gone: nothing of this run's to remove.
    }
}

class DiskOutput final : public ResultOutput {
public:
    // `old`: the earlier result at the name, as this run saw it, if there was one.
    DiskOutput(std::wstring final_name, std::uint64_t old_size, std::optional<FileSeen> old)
        : final_name_(std::move(final_name))
        , old_size_(old_size)
        , old_(old)
    {
        const std::lock_guard lock(temporary_file_steps);
        for (unsigned attempt = 0;; ++attempt) {
            temp_name_ = final_name_ + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-"
                + std::to_wstring(attempt);
            // Others may read it, and the rename must be allowed while it is open.
            file_ = ::CreateFileW(temp_name_.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                nullptr);
            if (file_ != INVALID_HANDLE_VALUE) break;
            if (::GetLastError() != ERROR_FILE_EXISTS || attempt == 100) throw_last_error();
        }
        if (!mark_for_deletion(file_, true)) {
            const DWORD code = ::GetLastError();
            ::CloseHandle(file_);
            ::DeleteFileW(temp_name_.c_str());
            throw std::system_error(static_cast<int>(code), std::system_category());
        }
    }
    ~DiskOutput() override
    {
        // Still marked for deletion unless committed: closing it removes it (in place too).
        if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    }
    DiskOutput(const DiskOutput&) = delete;
    DiskOutput& operator=(const DiskOutput&) = delete;

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        in_parts(offset, size, [this, &data](DWORD part, OVERLAPPED& position) {
            DWORD done = 0;
            if (!::WriteFile(file_, data, part, &done, &position)) throw_last_error();
            data += done;
            return done;
        });
        note_end(offset + size);
    }

    void read_at(std::uint64_t offset, char* data, std::size_t size) override
    {
        in_parts(offset, size, [this, &data](DWORD part, OVERLAPPED& position) {
            DWORD done = 0;
            if (!::ReadFile(file_, data, part, &done, &position)) throw_last_error();
            data += done;
            return done;
        });
    }

    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override
    {
        copy_through_buffer(*this, from, to, size);
    }

    void reserve(std::uint64_t size) override
    {
        if (size == 0) return;
        const std::uint64_t free = free_bytes_beside(final_name_);
        const std::uint64_t room_beside = free + taken();
        // The old result's room comes free when this one takes its place.
        if (size > room_beside + old_size_) throw_no_room();
        if (size > room_beside) write_in_place();
        Allocation got = allocate(file_, size);
        // The free space said it fits beside, the file system (clusters, its own records)
        // says not: the old result's room may still make the difference.
        if (got == Allocation::no_room && old_size_ > 0) {
            write_in_place();
            got = allocate(file_, size);
        }
        if (got == Allocation::no_room) throw_no_room();
        reserved_ = size;
        held_ = got == Allocation::held;
    }

    std::uint64_t free_room() const override
    {
        // Room reserved but not held by the file system is still counted free by it, and is
        // this storage's own already.
        const std::uint64_t end = end_.load();
        const std::uint64_t promised = held_ || reserved_ < end ? 0 : reserved_ - end;
        const std::uint64_t free = free_bytes_beside(final_name_);
        return free > promised ? free - promised : 0;
    }

    void abandon() override
    {
        if (file_ == INVALID_HANDLE_VALUE) return; // committed
        // Marked for deletion, beside the old result or in its place: closing removes it.
        ::CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
        // Only the earlier result this run saw: not one another run has put in place since.
        if (!in_place_ && old_) remove_stale(final_name_, old_);
    }

    void commit() override
    {
        if (in_place_) {
            // A reservation may run past what was written.
            if (!set_end(file_, end_.load())) throw_last_error();
            if (!::FlushFileBuffers(file_)) throw_last_error();
            const std::lock_guard lock(temporary_file_steps);
            if (!mark_for_deletion(file_, false)) throw_last_error();
        } else {
            // The data reaches the disk before the rename makes it the result.
            if (!::FlushFileBuffers(file_)) throw_last_error();
            const std::lock_guard lock(temporary_file_steps);
            if (!mark_for_deletion(file_, false)) throw_last_error();
            if (!::MoveFileExW(temp_name_.c_str(), final_name_.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                const DWORD code = ::GetLastError();
                mark_for_deletion(file_, true);
                throw std::system_error(static_cast<int>(code), std::system_category());
            }
        }
        ::CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

private:
    std::wstring final_name_;
    std::wstring temp_name_;
    std::uint64_t old_size_; // none once written in place
    std::optional<FileSeen> old_; // the earlier result as this run saw it
    HANDLE file_ = INVALID_HANDLE_VALUE;
    bool in_place_ = false;
    std::uint64_t reserved_ = 0;
    bool held_ = false; // whether the file system holds the reservation's room
    // The end of what was written: the result's size. Writes may come from several threads.
    std::atomic<std::uint64_t> end_ { 0 };

    void note_end(std::uint64_t end)
    {
        std::uint64_t seen = end_.load(std::memory_order_relaxed);
        while (seen < end && !end_.compare_exchange_weak(seen, end, std::memory_order_relaxed)) { }
    }

    // What this file already takes of the volume's room.
    std::uint64_t taken() const { return held_ ? std::max(reserved_, end_.load()) : end_.load(); }

    // Discards the old result and goes on in its file: cut to nothing, which frees its room,
    // and marked for deletion until commit like the temporary file, so that a run that ends
    // before then leaves neither half a result nor a stale one. The temporary file goes.
    void write_in_place()
    {
        // What was written beside cannot move over: there is room for one copy only.
        if (in_place_ || end_.load() > 0) throw_no_room();
        const std::lock_guard lock(temporary_file_steps);
        Handle old(open_existing_for_writing(final_name_, GENERIC_READ | DELETE));
        // Gone since the opening, its room free already; or another run's result in its place,
        // which this run must not touch.
        if (!old.valid() || !old_ || !still_as_seen(old.get(), *old_)) {
            old_size_ = 0;
            return;
        }
        if (!mark_for_deletion(old.get(), true)) throw_last_error();
        if (!set_end(old.get(), 0)) {
            const DWORD code = ::GetLastError();
            mark_for_deletion(old.get(), false);
            throw std::system_error(static_cast<int>(code), std::system_category());
        }
        ::CloseHandle(file_);
        file_ = old.release();
        in_place_ = true;
        old_size_ = 0;
        reserved_ = 0;
        held_ = false;
    }
};

// A device or a pipe: the bytes go straight in, in order.
class StreamOutput final : public ResultOutput {
public:
    explicit StreamOutput(HANDLE stream)
        : stream_(stream)
    {
    }
    ~StreamOutput() override { ::CloseHandle(stream_); }
    StreamOutput(const StreamOutput&) = delete;
    StreamOutput& operator=(const StreamOutput&) = delete;

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        if (offset != written_)
            throw std::system_error(std::make_error_code(std::errc::invalid_seek));
        while (size > 0) {
            const auto part = static_cast<DWORD>(std::min<std::uint64_t>(size, kMaxTransfer));
            DWORD done = 0;
            if (!::WriteFile(stream_, data, part, &done, nullptr)) throw_last_error();
            data += done;
            size -= done;
            written_ += done;
        }
    }
    void read_at(std::uint64_t, char*, std::size_t) override
    {
        throw std::system_error(std::make_error_code(std::errc::invalid_seek));
    }
    void copy_within(std::uint64_t, std::uint64_t, std::uint64_t) override
    {
        throw std::system_error(std::make_error_code(std::errc::invalid_seek));
    }
    void reserve(std::uint64_t) override { }
    bool random_access() const override { return false; }
    void commit() override { }

private:
    HANDLE stream_;
    std::uint64_t written_ = 0;
};

// Where a symbolic link leads: the result replaces what it points to, and the link stays.
std::wstring final_path(HANDLE file)
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD needed = ::GetFinalPathNameByHandleW(
            file, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
        if (needed == 0) throw_last_error();
        if (needed < path.size()) return std::wstring(path.data(), needed);
        path.resize(needed);
    }
}

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

std::unique_ptr<ResultOutput> open_result(const std::string& name)
{
    std::wstring final_name = wide_name(name);
    // An existing result the user may not write (read-only, a folder, denied) fails here,
    // untouched, as a plain opening for writing would.
    Handle existing(open_existing_for_writing(final_name));
    if (!existing.valid())
        return std::make_unique<DiskOutput>(std::move(final_name), 0, std::nullopt);
    if (::GetFileType(existing.get()) != FILE_TYPE_DISK)
        return std::make_unique<StreamOutput>(existing.release());
    LARGE_INTEGER old_size {};
    if (!::GetFileSizeEx(existing.get(), &old_size)) throw_last_error();
    const DWORD attributes = ::GetFileAttributesW(final_name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        final_name = final_path(existing.get());
    return std::make_unique<DiskOutput>(
        std::move(final_name), static_cast<std::uint64_t>(old_size.QuadPart), seen(existing.get()));
}

void remove_stale_result(const std::string& name)
{
    remove_stale(wide_name(name));
}

void prepare_process()
{
    // No dialog box for a missing disk or a crash: this is a console program run by others.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetConsoleCtrlHandler(end_on_console_event, TRUE);
}
