#pragma once

// What a run may have to take back: a file it made (its temporary, a result file its own opening
// created) and, after a failure, an earlier result it would have replaced. Each is owned by one
// TakeBack while it may go; one made with `on_signal` is also known to the signal handler while
// it lives, so that a run ended by a signal takes it back too.

#include "file_door.h"

/// Holds back the signals that would end the process while it lives: a signal landing part-way
/// through a step would leave it half done (a name moved aside, a file made and not yet owned).
class SignalsHeld {
public:
    SignalsHeld() { process_door().hold_signals(); }
    ~SignalsHeld() { process_door().release_signals(); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

/// Removes `name` in `folder` only while it is the file `ours` (and, with `unchanged`, still as
/// `ours` saw it), with signals held. In the working folder, where the system can rename without
/// replacing, the name is first moved aside to a private name that says whose run moved it
/// (moved_aside.h) and checked there, so that a file another run renames into place meanwhile is
/// never removed; a foreign file moved aside is put back, or, where the name was taken
/// meanwhile, left under a name that says what it is, and the user told. Elsewhere the name is
/// checked, then removed. True if it removed the file.
bool remove_if_still(Handle folder, const char* name, const FileId& ours, bool unchanged);

/// Takes back, on a signal, every file a live TakeBack made with `on_signal` holds.
/// Async-signal-safe.
void take_back_on_signal();

class TakeBack {
public:
    TakeBack() = default;
    /// Owns the file `ours` at `place`: with `unchanged`, only as `ours` saw it. Call with
    /// signals held where `on_signal`, so that no signal lands between the file's making and this.
    TakeBack(const Place& place, const FileId& ours, bool unchanged, bool on_signal);
    ~TakeBack() { take_back(); }
    TakeBack(TakeBack&& other) noexcept;
    TakeBack& operator=(TakeBack&& other) noexcept;
    TakeBack(const TakeBack&) = delete;
    TakeBack& operator=(const TakeBack&) = delete;

    explicit operator bool() const { return owns_; }
    /// The file is the run's result now, or left to others: it stays.
    void keep();
    /// Removes the file if it is still the one owned; then owns nothing.
    bool take_back();
    /// The run has begun to write the file itself: from now on its identity alone proves it.
    void written_by_this_run();

private:
    bool owns_ = false;
    int slot_ = -1; // in the signal handler's table
    Place place_;
    FileId ours_;
    bool unchanged_ = false;
};
