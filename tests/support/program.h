#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/// A fresh temporary directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    /// Names of the directory's entries, sorted.
    std::vector<std::string> entries() const;
    /// The same of any folder.
    static std::vector<std::string> entries_of(const std::filesystem::path& folder);

private:
    std::filesystem::path path_;
};

struct ProgramRun {
    int exit_status = -1; // -1 when the program did not exit normally
    int signal = 0; // the signal that ended it, if one did
    // What it wrote on standard error and output. These are text streams: where the C runtime
    // ends their lines with CR LF (Windows), the lines are read back ended with '\n'.
    std::string errors;
    std::string output;
    // Why the interruption that ProgramLimits asked for could not be delivered, if it could not
    // (Windows delivers console events only where there is a console); the child was then killed.
    std::string undelivered;
};

struct ProgramLimits {
    std::optional<unsigned long> file_size_bytes; // RLIMIT_FSIZE (POSIX only)
    bool ignore_file_size_signal = true; // SIGXFSZ ignored in the child (POSIX only)
    // SIGTERM to the child after this long; on Windows a Ctrl+Break, the console's nearest
    // equivalent (the child runs in a process group of its own to receive it).
    std::optional<int> terminate_after_ms;
    // SIGKILL to the child after this long; on Windows TerminateProcess. Neither can be caught.
    std::optional<int> kill_after_ms;
    // The cgroup.procs file of a cgroup the child joins before it runs (Linux only).
    std::optional<std::string> cgroup_procs;
};

#if !defined(_WIN32)
/// Runs `body` in a child process whose working directory is `directory`, under `limits`, with
/// its standard streams captured; its return value is the child's exit status. (Windows has no
/// fork: there the tests run only whole programs.)
ProgramRun run_in_child(const std::filesystem::path& directory, const ProgramLimits& limits,
    const std::function<int()>& body);
#endif

/// Runs `program` with `args` in `directory` and waits for it.
ProgramRun run_program(const std::string& program, const std::filesystem::path& directory,
    const std::vector<std::string>& args = {}, const ProgramLimits& limits = {});

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
