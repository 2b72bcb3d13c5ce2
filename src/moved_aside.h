#pragma once

// The names a run makes beside the result: its temporary files, the private name to which it
// moves a name aside before it removes a file (it checks the file there: take_back.h), and the
// name under which it keeps a file that is not its own. The private name says whose run it was,
// so that a run killed there (TERM, then KILL before its handler is done) leaves a file that a
// later run can tell from one a live run is still checking, and put back.

#include "file_door.h"

#include <cstdint>
#include <string>

/// A new name for a temporary file beside `base`: `base`, ".runel-" and six letters.
std::string temporary_name(const std::string& base);

/// Whether `name` is one that temporary_name(base) makes.
bool is_temporary_name(const std::string& name, const std::string& base);

/// The name under which a file that is not a run's own is kept where it could not be put back at
/// `name`: `name`, ".not-removed-by-runel-" and the mark of the run that moved it aside. No
/// allocation, since a signal handler builds names.
bool kept_name(char (&out)[4096], const char* name, const ProcessMark& run);

/// This process's mark, read before any signal handler can need it.
const ProcessMark& this_run();

/// The private name to which this process moves `name` aside: `name`, ".runel-removing-", the
/// process's number, "-" and its start. No allocation.
bool aside_name(char (&out)[4096], const char* name);

/// Puts back every file that a run now ended left moved aside from `name` in `folder`, renaming
/// without replacing anything; where the name is taken, the file is kept beside it under
/// kept_name() and the user told. That run's own temporary files moved aside are removed, never
/// put back: no later run would take them for its own. A live run's names, and names not made
/// so, are left alone.
void put_back_moved_aside(Handle folder, const std::string& name);
