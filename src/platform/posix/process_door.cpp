// The process door on POSIX systems: the process, its signals, and the messages on standard
// error, where the C library's words are already in the locale's own encoding.
#include "console.h"
#include "file_door.h"
#include "speedups.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <limits>
#include <unistd.h>

namespace {

constexpr auto this_process = []() -> ProcessMark {
    const auto id = static_cast<std::uint64_t>(::getpid());
    std::uint64_t started = 0;
    bool ended = false;
    process_start(id, started, ended);
    return { id, started };
};

bool process_running(const ProcessMark& process)
{
    if (process.id == 0
        || process.id > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max()))
        return false;
    std::uint64_t started = 0;
    bool ended = false;
    if (process_start(process.id, started, ended))
        return !ended && (process.started == 0 || started == process.started);
    // Where the system records no start (the BSDs, macOS), the number alone: a number given
    // again to a later process makes a dead run look alive, never the other way round.
    return ::kill(static_cast<pid_t>(process.id), 0) == 0 || errno == EPERM;
}

constexpr auto say = [](const char* line) {
    [[maybe_unused]] const ssize_t text = ::write(2, line, std::strlen(line));
    [[maybe_unused]] const ssize_t end = ::write(2, "\n", 1);
};

// Every signal whose default action ends the process. SIGPIPE and SIGXFSZ are ignored instead,
// so that a closed pipe or a file size limit shows up as a failed write the run reports.
sigset_t fatal_signals()
{
    sigset_t set;
    ::sigemptyset(&set);
    for (const int number : { SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE,
             SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS })
        ::sigaddset(&set, number);
#ifdef SIGPOLL
    ::sigaddset(&set, SIGPOLL);
#endif
#ifdef SIGPWR
    ::sigaddset(&set, SIGPWR);
#endif
#ifdef SIGSTKFLT
    ::sigaddset(&set, SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) ::sigaddset(&set, number);
#endif
    return set;
}

thread_local int held_depth = 0;
thread_local sigset_t held_before;

constexpr auto hold_signals = []() {
    if (held_depth++ > 0) return;
    const sigset_t set = fatal_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, &held_before);
};

constexpr auto release_signals = []() {
    if (--held_depth > 0) return;
    ::pthread_sigmask(SIG_SETMASK, &held_before, nullptr);
};

// What the run takes back before a signal ends it; set once, before any handler is.
void (*take_back_before_ending)() = nullptr;

extern "C" void take_back_and_die(int signal_number)
{
    if (take_back_before_ending != nullptr) take_back_before_ending();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

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
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    const sigset_t set = fatal_signals();
    for (int number = 1; number < NSIG; ++number) {
        if (::sigismember(&set, number) != 1) continue;
        struct sigaction previous { };
        if (::sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action { };
        action.sa_handler = take_back_and_die;
        // While one signal is handled the others wait, so each file is taken back only once.
        action.sa_mask = set;
        ::sigaction(number, &action, nullptr);
    }
}

std::string system_message(const std::error_code& code)
{
    return code.message();
}

void write_error_text(const std::string& text)
{
    std::cerr << text << std::flush;
}
