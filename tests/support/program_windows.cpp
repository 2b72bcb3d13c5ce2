// Child processes and temporary directories on Windows.
#include "program.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

// Quoted for the command line as the C runtime's parser takes it apart again.
std::wstring quoted(const std::wstring& arg)
{
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are escapes and must be doubled; elsewhere they are literal.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

HANDLE inheritable_file(const fs::path& path)
{
    SECURITY_ATTRIBUTES inherit { sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path.string());
    return file;
}

std::string text_lines(std::string bytes)
{
    std::string lines;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        lines += bytes[i];
    }
    return lines;
}

} // namespace

TempDir::TempDir()
{
    static std::atomic<unsigned> made { 0 };
    for (;;) {
        const fs::path candidate = fs::temp_directory_path()
            / ("runel-test-" + std::to_string(::GetCurrentProcessId()) + "-"
                + std::to_string(made++));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
}

ProgramRun run_program(const std::string& program, const fs::path& directory,
    const std::vector<std::string>& args, const ProgramLimits& limits)
{
    if (limits.file_size_bytes) throw std::logic_error("Windows has no file size limit");
    // The child's streams go to files outside its working directory, so that they neither
    // block on a full pipe nor show up among the files the child leaves behind.
    TempDir streams;
    const fs::path err_path = streams / "stderr";
    const fs::path out_path = streams / "stdout";
    const HANDLE err = inheritable_file(err_path);
    const HANDLE out = inheritable_file(out_path);

    std::wstring command_line = quoted(fs::path(program).wstring());
    for (const std::string& arg : args) command_line += L" " + quoted(fs::path(arg).wstring());
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION child {};
    const BOOL started = ::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
        CREATE_NEW_PROCESS_GROUP, nullptr, directory.c_str(), &startup, &child);
    ::CloseHandle(err);
    ::CloseHandle(out);
    if (!started)
        throw std::runtime_error(
            "cannot start " + program + ": error " + std::to_string(::GetLastError()));

    ProgramRun run;
    if (limits.terminate_after_ms) {
        ::Sleep(static_cast<DWORD>(*limits.terminate_after_ms));
        if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.dwProcessId)) {
            run.undelivered = "no Ctrl+Break can be sent here (error "
                + std::to_string(::GetLastError()) + "): the tests run without a console";
            ::TerminateProcess(child.hProcess, 1);
        }
    }
    if (limits.kill_after_ms) {
        ::Sleep(static_cast<DWORD>(*limits.kill_after_ms));
        ::TerminateProcess(child.hProcess, 137);
    }
    ::WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 0;
    ::GetExitCodeProcess(child.hProcess, &status);
    ::CloseHandle(child.hThread);
    ::CloseHandle(child.hProcess);

    run.exit_status = static_cast<int>(status);
    run.errors = text_lines(read_file(err_path));
    run.output = text_lines(read_file(out_path));
    return run;
}
