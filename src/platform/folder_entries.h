// The folder door's entries (file_door.h), each with the ways it fails, as in file_entries.h.

/// What is at `name` in `folder`, without following a link.
RUNEL_ENTRY(identify_at, std::error_code(Handle folder, const char* name, FileId& id),
    permission_denied, io_error)
/// The folder of `path` and the file's name in it, as a Place: the folder opened (POSIX), or the
/// whole path (Windows). Fails where the system lacks the means (no descriptor left, say); a
/// folder that cannot be read gives an empty name.
RUNEL_ENTRY(
    open_folder_of, std::error_code(const std::string& path, Place& place), too_many_files_open)
RUNEL_ENTRY(close_folder, void(Handle folder))
/// What replacing the regular file open at `file`, in `folder`, by a new one would change for its
/// users, as the system tells it.
RUNEL_ENTRY(standing, std::error_code(Handle file, Handle folder, FileStanding& standing), io_error)
/// A new file in `folder` with no name (it goes with its handle), made as any new file there is,
/// open for reading and writing; operation_not_supported where the system or the file system
/// cannot make one.
RUNEL_ENTRY(make_unnamed, std::error_code(Handle folder, Handle& file), operation_not_supported,
    no_space_on_device)
/// A new file `name` in `folder` (file_exists where the name is taken), made as any new file there
/// is, open for reading and writing, and held for this run: locked while the run lives (POSIX,
/// shielded by the folder's shared lock until then), or removed by the system however the run
/// ends until it is renamed (Windows).
RUNEL_ENTRY(make_named, std::error_code(Handle folder, const char* name, Handle& file),
    no_space_on_device, permission_denied, file_exists)
/// Gives the unnamed file `file` the name `name` in `folder` (file_exists where it is taken).
RUNEL_ENTRY(give_name, std::error_code(Handle file, Handle folder, const char* name), file_exists,
    no_space_on_device)
/// Renames `from`, the name of the file open at `file`, to the place's name, replacing what is
/// there in one step.
RUNEL_ENTRY(rename_over, std::error_code(Handle file, const std::string& from, const Place& place),
    device_or_resource_busy, permission_denied, io_error)
/// Takes the folder's lock, shared or alone, trying for a moment; false where it cannot (no locks
/// on this file system, or another holds it that long).
RUNEL_ENTRY(lock_folder, bool(Handle folder, bool alone), false)
RUNEL_ENTRY(unlock_folder, void(Handle folder))
/// Opens the file `name` in `folder` without following a link or waiting, takes its lock if it is
/// free, and tells what it found; the handle keeps the lock until it is closed.
RUNEL_ENTRY(open_leftover,
    std::error_code(Handle folder, const char* name, Handle& file, LeftoverFacts& facts),
    no_such_file_or_directory, io_error)
/// Renames `from` to `to` in `folder` without replacing anything (file_exists where `to` is
/// taken); operation_not_supported where the system cannot promise that.
RUNEL_ENTRY(rename_no_replace, std::error_code(Handle folder, const char* from, const char* to),
    permission_denied, operation_not_supported)
RUNEL_ENTRY(unlink, std::error_code(Handle folder, const char* name), permission_denied,
    device_or_resource_busy)
/// The names that begin with `prefix` in `folder`; where `prefix` holds a folder part, in that
/// folder (relative to `folder`), each name given with that part.
RUNEL_ENTRY(names_beginning,
    std::error_code(Handle folder, const std::string& prefix, std::vector<std::string>& names),
    io_error)
/// The folder's entries reach the disk (a rename, a new name).
RUNEL_ENTRY(sync_folder, std::error_code(Handle folder), io_error)
#undef RUNEL_ENTRY
