#pragma once

// Temporary results that must have a name (where the file system cannot make a file without
// one, and on the way to the rename): each is named after the result with a mark of this
// program's, and locked by its run while the run lives. A run that finds such a file unlocked
// knows its run is dead, and removes it.

#include <string>

/// Whether `name` is a temporary name made by temporary_name() for the result `base`.
bool is_temporary_name(const std::string& name, const std::string& base);

/// A fresh temporary name for the result `base`: `base` then ".runel-" and six letters.
std::string temporary_name(const std::string& base);

/// Locks the temporary file open at `fd` for as long as this process lives or keeps it open;
/// false where the file system has no locks.
bool hold_temporary(int fd);

/// Removes the temporary files of dead runs for the result `base` from the folder open at
/// `folder_fd`: this user's, unlocked, and not newly made (an empty file may be one that another
/// run has just made and not locked yet). Never fails: what cannot be removed stays.
void remove_leftovers(int folder_fd, const std::string& base);
