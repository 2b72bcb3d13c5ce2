#include "cleanup.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Plain storage and flags of sig_atomic_t, because the handler reads them: one slot for each
// kind of file a run may have to take back.
struct Pending {
    char name[4096];
    volatile std::sig_atomic_t folder = -1;
    volatile std::sig_atomic_t set = 0;
};
Pending pending[2];

extern "C" void remove_pending_and_die(int signal_number)
{
    for (const Pending& file : pending) {
        if (file.set) ::unlinkat(file.folder, file.name, 0);
    }
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

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

sigset_t held_before;

} // namespace

void install_cleanup_handlers()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    const sigset_t set = fatal_signals();
    for (int number = 1; number < NSIG; ++number) {
        if (::sigismember(&set, number) != 1) continue;
        struct sigaction previous { };
        if (::sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action { };
        action.sa_handler = remove_pending_and_die;
        // While one signal is handled the others wait, so the name is removed only once.
        action.sa_mask = set;
        ::sigaction(number, &action, nullptr);
    }
}

SignalsHeld::SignalsHeld()
{
    const sigset_t set = fatal_signals();
    ::sigprocmask(SIG_BLOCK, &set, &held_before);
}

SignalsHeld::~SignalsHeld()
{
    ::sigprocmask(SIG_SETMASK, &held_before, nullptr);
}

void remove_on_signal(OnSignal kind, int folder_fd, const std::string& name)
{
    Pending& file = pending[static_cast<int>(kind)];
    file.set = 0;
    if (name.size() >= sizeof file.name) return; // cannot happen: names are bounded by NAME_MAX
    name.copy(file.name, name.size());
    file.name[name.size()] = '\0';
    file.folder = folder_fd;
    file.set = 1;
}

void keep_on_signal(OnSignal kind)
{
    pending[static_cast<int>(kind)].set = 0;
}
