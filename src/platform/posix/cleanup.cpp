#include "cleanup.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Plain storage behind a lock-free flag, because the handler reads it, on whichever thread the
// signal lands: one slot for each kind of file a run may have to take back. The flag is set
// last and cleared first, so the handler never sees a slot half written.
struct Pending {
    char name[4096];
    int folder = -1;
    struct stat identity { };
    std::atomic<int> unchanged { 0 };
    std::atomic<int> set { 0 };
};
static_assert(std::atomic<int>::is_always_lock_free, "read by a signal handler");
Pending pending[2];

extern "C" void remove_pending_and_die(int signal_number)
{
    for (const Pending& file : pending) {
        if (file.set.load(std::memory_order_acquire) != 0)
            remove_if_still(file.folder, file.name, file.identity,
                file.unchanged.load(std::memory_order_acquire) != 0);
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

bool remove_if_still(int folder_fd, const char* name, const struct stat& ours, bool unchanged)
{
    // The name is looked up, not followed: a link at the name is not the file.
    struct stat named { };
    if (::fstatat(folder_fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != ours.st_dev
        || named.st_ino != ours.st_ino)
        return false;
    if (unchanged
        && (named.st_size != ours.st_size || named.st_mtim.tv_sec != ours.st_mtim.tv_sec
            || named.st_mtim.tv_nsec != ours.st_mtim.tv_nsec))
        return false;
    return ::unlinkat(folder_fd, name, 0) == 0;
}

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

void remove_on_signal(
    OnSignal kind, int folder_fd, const std::string& name, const struct stat& ours, bool unchanged)
{
    Pending& file = pending[static_cast<int>(kind)];
    file.set.store(0, std::memory_order_release);
    if (name.size() >= sizeof file.name) return; // cannot happen: names are bounded by NAME_MAX
    name.copy(file.name, name.size());
    file.name[name.size()] = '\0';
    file.folder = folder_fd;
    file.identity = ours;
    file.unchanged.store(unchanged ? 1 : 0, std::memory_order_release);
    file.set.store(1, std::memory_order_release);
}

void written_by_this_run(OnSignal kind)
{
    pending[static_cast<int>(kind)].unchanged.store(0, std::memory_order_release);
}

void keep_on_signal(OnSignal kind)
{
    pending[static_cast<int>(kind)].set.store(0, std::memory_order_release);
}
