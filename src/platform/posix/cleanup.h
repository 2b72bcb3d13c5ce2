#pragma once

// What a signal that ends the process must clean up first: the one temporary file a run has
// under a name. Signals are held back while the file is created and named, so that no signal
// can land between the file appearing and its name being recorded, or the reverse.

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

/// Records `path` as the file to remove before dying of a signal; call with signals held.
void remove_on_signal(const std::string& path);

/// Forgets the recorded file; call with signals held.
void keep_on_signal();
