#pragma once

// Where the result file is, and the files made beside it: what is proven, what may be replaced,
// which leftovers are a dead run's. The decisions are here; the door (file_door.h) only acts
// and tells what it finds.

#include "file_door.h"

#include <string>
#include <system_error>

/// The identity of a file this run just made, open at `file` and named `place`: through its
/// handle, or where that will not say, through its name. False where neither says.
bool identified(Handle file, const Place& place, FileId& id);

/// The folder that holds the file open at `file` under a name, as the system names it (through
/// links), proven by looking the name up there: a regular file, the very one open. An empty
/// name where it cannot be proven; an error only where the system lacks the means to look.
std::error_code locate(Handle file, const char* opened_as, Place& place);

/// Whether a new file put at the file's place would differ only in content for every user: no
/// other hard links, the user's own, not held by a standard stream or mounted over the name, a
/// folder that lets names be replaced.
bool replaceable(Handle file, const Place& place);

/// A new file beside `place` for the result, with the identity (owner, group, mode,
/// attributes) of `like`, or, where `like` is a file the run just created, as any new file; no
/// file (and no error) where they cannot all be matched; `like` kNoHandle: nothing to match.
/// `name` gets the name it was made under, or stays empty for a file that has none yet.
std::error_code make_beside(
    const Place& place, Handle like, bool like_is_new, Handle& file, std::string& name);

/// Makes the file `file` (named `name`, or unnamed) the file at `place`, replacing what is there
/// in one step. An unnamed file is named first, and that name goes again if the rename fails.
std::error_code put_in_place(Handle file, const std::string& name, const Place& place);

/// Removes the temporary files that dead runs left beside `place`: this user's, unlocked (and,
/// where the folder cannot be locked, not empty and new: such a file may be one that another run
/// has just made and not locked yet). Never fails: what cannot be removed stays.
void remove_leftovers(const Place& place);
