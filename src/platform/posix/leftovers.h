#pragma once

// Temporary results that must have a name (where the file system cannot make a file without
// one): each is locked by its run while the run lives, and made while its run holds a shared lock
// on the folder, locked before that lock goes. So a run that holds the folder's lock alone and
// finds such a file unlocked knows its run is dead, at any age. These are the acts; which files
// are temporary and which dead is decided above the door.

#include "file_door.h"

/// Locks the temporary file open at `fd` for as long as this process lives or keeps it open;
/// false where the file system has no locks.
bool hold_temporary(int fd);

/// Makes the new file `name` in the folder open at `folder_fd`, opened for reading and writing
/// and locked, under the folder's shared lock; -1 (with errno) where it cannot.
int create_temporary(int folder_fd, const char* name);

/// The door's folder lock and its leftovers (file_door.h).
bool lock_folder(Handle folder, bool alone);
void unlock_folder(Handle folder);
std::error_code open_leftover(Handle folder, const char* name, Handle& file, LeftoverFacts& facts);
