#pragma once

// A name moved aside: before a run removes a file it moves the name to a private name of its own
// and checks the file there (take_back.h). The private name says whose run it was, so that a run
// killed there (TERM, then KILL before its handler is done) leaves a file that a later run can
// tell from one a live run is still checking, and put back.

#include "file_door.h"

#include <cstdint>
#include <string>

/// What ends the name under which a file that is not a run's own is kept, where it could not be
/// put back at the name it was moved aside from.
inline constexpr const char* kNotRemovedMark = ".not-removed-by-runel-";

/// `name`, then `mark`, then `number` in decimal, into `out`; false where it would not fit.
/// No allocation, since a signal handler builds names.
bool name_beside(char (&out)[4096], const char* name, const char* mark, std::uint64_t number);

/// The private name to which this process moves `name` aside: `name`, ".runel-removing-", the
/// process's number, "-" and its start. No allocation.
bool aside_name(char (&out)[4096], const char* name);

/// Puts back every file that a run now ended left moved aside from `name` (or from a name that
/// begins with it) in `folder`, renaming without replacing anything; where the name is taken,
/// the file is kept beside it under a name ending in ".not-removed-by-runel-" and that run's
/// mark, and the user told. A live run's names, and names not made so, are left alone.
void put_back_moved_aside(Handle folder, const std::string& name);
