// Child processes and temporary directories on POSIX systems.
#include "program.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "runel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ProgramRun run_in_child(
    const fs::path& directory, const ProgramLimits& limits, const std::function<int()>& body)
{
    // The child's streams go to files outside its working directory, so that they neither
    // block on a full pipe nor show up among the files the child leaves behind.
    TempDir streams;
    const fs::path err_path = streams / "stderr";
    const fs::path out_path = streams / "stdout";
    std::cout.flush();
    std::cerr.flush();
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err < 0 || out < 0 || ::dup2(err, 2) < 0 || ::dup2(out, 1) < 0) ::_exit(125);
        if (::chdir(directory.c_str()) != 0) ::_exit(126);
        ::signal(SIGXFSZ, limits.ignore_file_size_signal ? SIG_IGN : SIG_DFL);
        if (limits.file_size_bytes) {
            const rlimit limit { *limits.file_size_bytes, *limits.file_size_bytes };
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(125);
        }
        if (limits.cgroup_procs) {
            const int procs = ::open(limits.cgroup_procs->c_str(), O_WRONLY | O_CLOEXEC);
            if (procs < 0 || ::write(procs, "0", 1) != 1) ::_exit(124);
            ::close(procs);
        }
        const int status = body();
        std::cout.flush();
        std::cerr.flush();
        ::_exit(status);
    }
    if (limits.terminate_after_ms) {
        ::usleep(static_cast<useconds_t>(*limits.terminate_after_ms) * 1000);
        ::kill(child, SIGTERM);
    }
    if (limits.kill_after_ms) {
        ::usleep(static_cast<useconds_t>(*limits.kill_after_ms) * 1000);
        ::kill(child, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) { }
    ProgramRun run;
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.errors = read_file(err_path);
    run.output = read_file(out_path);
    return run;
}

ProgramRun run_program(const std::string& program, const fs::path& directory,
    const std::vector<std::string>& args, const ProgramLimits& limits)
{
    return run_in_child(directory, limits, [&] {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        return 127;
    });
}
