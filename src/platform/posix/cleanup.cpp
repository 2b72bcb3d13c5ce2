#include "cleanup.h"

#include <csignal>
#include <unistd.h>

namespace {

// Plain storage and a flag of sig_atomic_t, because the handler reads them.
char pending_name[4096];
volatile std::sig_atomic_t has_pending = 0;

extern "C" void remove_pending_and_die(int signal_number)
{
    if (has_pending) ::unlink(pending_name);
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

void remove_on_signal(const std::string& path)
{
    has_pending = 0;
    if (path.size() >= sizeof pending_name) return; // cannot happen: names are bounded by PATH_MAX
    path.copy(pending_name, path.size());
    pending_name[path.size()] = '\0';
    has_pending = 1;
}

void keep_on_signal()
{
    has_pending = 0;
}
