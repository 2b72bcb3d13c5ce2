#pragma once

// What a run takes back: the temporary file it has under a name, and the result file where the
// run created it or would have replaced it. Every removal, on a failure, on a signal or of a dead
// run's leftover, goes through remove_if_still(): the name must still hold the very file this run
// made or opened, so a result that another run has put in place since is never touched. (SIGKILL
// cannot be caught: what it leaves, a later run removes.) Signals are held back while a file is
// created and named, so that no signal can land between the file appearing and its name being
// recorded, or the reverse.

#include <string>
#include <sys/stat.h>

/// Removes `name` from the folder open at `folder_fd` (AT_FDCWD: the working folder) only while
/// that name still holds the file `ours` (same device and inode) and, with `unchanged`, still as
/// `ours` saw it (same size and modification time), so that a file which another run has
/// written into since, in place, is not taken back either. Where that cannot be proven, the file
/// stays. Async-signal-safe. True if it removed it.
bool remove_if_still(int folder_fd, const char* name, const struct stat& ours, bool unchanged);

/// Installs the handler for every signal whose default is to end the process (but for those
/// ignored from the start, as under nohup).
void install_cleanup_handlers();

/// Holds back the handled signals while it lives; they are delivered when it goes.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

/// The files a run may have to take back before dying of a signal: its temporary file, and the
/// result file where a failure would remove it (the run created it, or would have replaced it).
enum class OnSignal { temporary = 0, result = 1 };

/// Records `name`, in the folder open at `folder_fd`, holding the file `ours`, as the file of
/// that kind to remove before dying of a signal (with `unchanged`: only while it is as `ours` saw
/// it); call with signals held.
void remove_on_signal(
    OnSignal kind, int folder_fd, const std::string& name, const struct stat& ours, bool unchanged);

/// The run has begun to write the recorded file of that kind itself: from now on its identity
/// alone proves it. Safe from any thread.
void written_by_this_run(OnSignal kind);

/// Forgets the recorded file of that kind; call with signals held.
void keep_on_signal(OnSignal kind);
