// Messages on Windows. The C++ library words a system error in the ANSI code page ("Acc\xE8s
// refus\xE9" on a French system), which reads as garbage in a UTF-8 file or terminal and, for
// want of the right code page, often on a console too. So the words are asked for in UTF-16 and
// carried as UTF-8, and a console is handed UTF-16 again.
#include "console.h"
#include "utf.h"

#include <windows.h>

#include <iostream>
#include <memory>

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
