// The file door's entries (file_door.h), each with the ways it fails: the errors it can give, or
// where it answers without one, the answer it gives when the system fails it. Included where
// RUNEL_ENTRY(name, type, ways...) is defined, and undefines it.

/// Creates `name` for writing as the plain opening would create it (mode, ACL and owner as any
/// new file there gets); fails with file_exists where anything is there, never following a link
/// and never waiting.
RUNEL_ENTRY(create_new, std::error_code(const char* name, Handle& file), permission_denied,
    no_space_on_device, too_many_files_open)
/// Opens an existing `name` for writing as the plain opening does (through links, every rule of
/// the system applied), keeping its content. With `wait`, a FIFO waits for a reader as the plain
/// opening does; without, it fails at once (no_such_device_or_address). `created`: the opening
/// made the file at the end of a dangling link.
RUNEL_ENTRY(open_existing,
    std::error_code(const char* name, bool wait, Handle& file, bool& created), permission_denied,
    too_many_files_open, no_such_file_or_directory)
/// The file open at `file` opened once more, for reading and writing; kNoHandle where the system
/// will not.
RUNEL_ENTRY(reopen_read_write, Handle(Handle file, const char* name), kNoHandle)
RUNEL_ENTRY(close, void(Handle file))
RUNEL_ENTRY(identify, std::error_code(Handle file, FileId& id), io_error)
/// The path under which the system knows the file open at `file` (through links); where it
/// cannot say, `opened_as`.
RUNEL_ENTRY(path_of, std::string(Handle file, const char* opened_as))
/// Gives `to` the group, mode and attributes (ACL, extended attributes, flags) of `from` as far
/// as the system lets it: true where owner, group and mode match then; `attributes` says whether
/// the attributes do (false where the system cannot tell).
RUNEL_ENTRY(carry_identity, bool(Handle from, Handle to, bool& attributes), false)

/// Opens `name` for reading from its start.
RUNEL_ENTRY(open_read, std::error_code(const char* name, Handle& file), io_error)
/// Reads from where the file stands; `got` is 0 at its end.
RUNEL_ENTRY(read, std::error_code(Handle file, char*, std::size_t, std::size_t& got), io_error)
/// Moves the reading of a plain file past a hole that starts where it stands (a stretch of a
/// sparse file kept as nothing, read as zero bytes) without reading it; the bytes passed, 0 where
/// there is none or the system cannot tell (one answer: it has no failure of its own).
RUNEL_ENTRY(skip_hole, std::uint64_t(Handle file))

/// Writes to a stream (a pipe, a device) where it stands.
RUNEL_ENTRY(write, std::error_code(Handle file, const char*, std::size_t, std::size_t& written),
    io_error, no_space_on_device)
RUNEL_ENTRY(write_at,
    std::error_code(Handle file, std::uint64_t offset, const char*, std::size_t, std::size_t&),
    io_error, no_space_on_device)
RUNEL_ENTRY(read_at,
    std::error_code(Handle file, std::uint64_t offset, char*, std::size_t, std::size_t& got),
    io_error)
/// Copies within or between files without a trip through this process; what it copied may fall
/// short (0 where the system cannot).
RUNEL_ENTRY(copy_range,
    std::uint64_t(Handle from, std::uint64_t, Handle to, std::uint64_t, std::uint64_t size), 0)
RUNEL_ENTRY(truncate, std::error_code(Handle file, std::uint64_t size), io_error)
/// Sets aside the room for `size` bytes of the file (no_space_on_device where there is none);
/// where the file system cannot, compares with its free room instead.
RUNEL_ENTRY(
    allocate, std::error_code(Handle file, std::uint64_t size), no_space_on_device, io_error)
/// What the file system still gives this file to grow into (memory_room.h weighs it against the
/// memory), and what the file holds.
RUNEL_ENTRY(free_room, FileRoom(Handle file), FileRoom {})
RUNEL_ENTRY(held_bytes, std::uint64_t(Handle file), 0)
/// Makes the file's data and metadata reach the disk; not_supported only where the system says
/// such a file cannot be synced at all.
RUNEL_ENTRY(
    sync, std::error_code(Handle file), io_error, read_only_file_system, operation_not_supported)
/// The data alone (what reading it back needs), and a hint to start writing it out.
RUNEL_ENTRY(sync_data, std::error_code(Handle file), io_error, operation_not_supported)
RUNEL_ENTRY(start_writeback, void(Handle file))
RUNEL_ENTRY(duplicate, Handle(Handle file), kNoHandle)
#undef RUNEL_ENTRY
