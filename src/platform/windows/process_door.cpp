// The process door on Windows: the process, the console's events, and the messages. The C++
// library words a system error in the ANSI code page ("Acc\xE8s refus\xE9" on a French system),
// which reads as garbage in a UTF-8 file or terminal and, for want of the right code page, often
// on a console too. So the words are asked for in UTF-16 and carried as UTF-8, and a console is
// handed UTF-16 again.
#include "console.h"
#include "file_door.h"
#include "utf.h"

#include <windows.h>

#include <iostream>
#include <memory>
#include <mutex>

namespace {

constexpr auto time_of = [](const FILETIME& time) {
    return (std::uint64_t { time.dwHighDateTime } << 32) | time.dwLowDateTime;
};

constexpr auto this_process = []() -> ProcessMark {
    FILETIME created {};
    FILETIME exited {};
    FILETIME kernel {};
    FILETIME user {};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) created = {};
    return { ::GetCurrentProcessId(), time_of(created) };
};

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

constexpr auto say = [](const char* line) { write_error_text(std::string(line) + "\n"); };

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

constexpr auto hold_signals = [] { steps.lock(); };
constexpr auto release_signals = [] { steps.unlock(); };

constexpr ProcessDoor kSystemDoor = {
#define RUNEL_ENTRY(name, ...) .name = name,
#include "process_entries.h"
};

} // namespace

const ProcessDoor& system_process_door() noexcept
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

namespace {

struct LocalFreeDeleter {
    void operator()(wchar_t* text) const { ::LocalFree(text); }
};

// Whether `wide` ends in what closes a system message as a sentence: a period, spaces, CR LF.
bool ends_in_sentence_close(const std::wstring& wide)
{
    return !wide.empty()
        && (wide.back() == L'.' || wide.back() == L' ' || wide.back() == L'\r'
            || wide.back() == L'\n');
}

} // namespace

std::string system_message(const std::error_code& code)
{
    // The C library's numbers (errc) are not the system's: their words stay the C library's.
    if (code.category() != std::system_category()) return code.message();
    wchar_t* words = nullptr;
    // Language 0: the thread's, then the user's, then the system's, as Windows itself chooses.
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code.value()), 0, reinterpret_cast<wchar_t*>(&words), 0,
        nullptr);
    if (length == 0) return code.message(); // a number the system has no words for
    const std::unique_ptr<wchar_t, LocalFreeDeleter> owned(words);
    std::wstring wide(words, length);
    // The message is a line of its own after "...: ", so its sentence end goes.
    while (ends_in_sentence_close(wide)) wide.pop_back();
    return utf8_of(wide);
}

void write_error_text(const std::string& text)
{
    const HANDLE errors = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (errors == nullptr || errors == INVALID_HANDLE_VALUE || !::GetConsoleMode(errors, &mode)) {
        // A file or a pipe: UTF-8, with the C runtime's CR LF line ends as before.
        std::cerr << text << std::flush;
        return;
    }
    // A console shows UTF-16 whatever its code page.
    const std::wstring wide = utf16_of(text);
    const wchar_t* rest = wide.data();
    auto left = static_cast<DWORD>(wide.size());
    while (left > 0) {
        DWORD written = 0;
        if (!::WriteConsoleW(errors, rest, left, &written, nullptr) || written == 0) return;
        rest += written;
        left -= written;
    }
}

std::string utf8_of(const std::wstring& wide)
{
    if (wide.empty()) return {};
    const int size = ::WideCharToMultiByte(
        CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
        nullptr, nullptr);
    return text;
}

std::wstring utf16_of(const std::string& text)
{
    if (text.empty()) return {};
    const int size
        = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(
        CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}
