#pragma once

// What a signal that ends the process must clean up first: the temporary file a run has under a
// name, and the result file where the run itself created it. (SIGKILL cannot be caught: what it
// leaves, a later run removes.) Signals are held back while the file is created and named, so that
// no signal can land between the file appearing and its name being recorded, or the reverse.

#include <string>

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

/// The files a run may have to take back before dying of a signal.
enum class OnSignal { temporary = 0, created = 1 };

/// Records `name`, in the folder open at `folder_fd`, as the file of that kind to remove before
/// dying of a signal; call with signals held.
void remove_on_signal(OnSignal kind, int folder_fd, const std::string& name);

/// Forgets the recorded file of that kind; call with signals held.
void keep_on_signal(OnSignal kind);
