#pragma once

// Temporary results that must have a name (where the file system cannot make a file without
// one, and on the way to the rename): each is named after the result with a mark of this
// program's, and locked by its run while the run lives. A named one is made while its run holds
// a shared lock on the folder and is locked before that lock goes, so a run that holds the
// folder's lock alone and finds such a file unlocked knows its run is dead, at any age, and
// removes it.

#include "file_door.h"

#include <string>

/// Whether `name` is a temporary name made by temporary_name() for the result `base`.
bool is_temporary_name(const std::string& name, const std::string& base);

/// A fresh temporary name for the result `base`: `base` then ".runel-" and six letters.
std::string temporary_name(const std::string& base);

/// Locks the temporary file open at `fd` for as long as this process lives or keeps it open;
/// false where the file system has no locks.
bool hold_temporary(int fd);

/// Makes a new temporary file for the result `base` in the folder open at `folder_fd`, under a
/// fresh name that it stores in `name`, opened for reading and writing and locked; -1 (with
/// errno) where it cannot.
int create_temporary(int folder_fd, const std::string& base, std::string& name);

/// Removes the temporary files of dead runs for the result at `place` from its folder: this user's
/// and unlocked (and, where the folder cannot be locked, not empty and new: such a file may be one
/// that another run has just made and not locked yet). Never fails: what cannot be removed stays.
void remove_leftovers(const Place& place);
