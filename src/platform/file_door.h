#pragma once

// The program's door to the system's files: the few primitives that the result file's policy
// (result_file.cpp) and the board's reading are built from, one implementation per system. A
// primitive answers with an error code, or a handle that is kNoHandle where it failed, and never
// throws: what a failure means is the policy's to decide. Those used to take a file back
// (identify_at, rename, unlink) are async-signal-safe on POSIX, since a signal handler calls them.
//
// The table is process-wide; tests swap its entries to make the system fail, or to act between
// two of the policy's steps.

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

/// A file or folder as the system holds it open: a descriptor, or a Windows HANDLE.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

/// Which file a handle or a name reaches, and how it stood then: another writer's rename over
/// the name changes the file, a write into it in place its size or modification time.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds
    bool regular = false; // a plain file, not a link, folder, FIFO or device
};

inline bool same_file(const FileId& a, const FileId& b)
{
    return a.device == b.device && a.index == b.index;
}

inline bool same_state(const FileId& a, const FileId& b)
{
    return same_file(a, b) && a.size == b.size && a.modified == b.modified;
}

/// A name in a folder: `folder` open (the working folder: kWorkingFolder) and the name in it.
/// Where a system names files by path alone (Windows), `name` is the whole path and `folder`
/// unused. Names for the folder's other files are made by appending to `name`.
struct Place {
    Handle folder = kNoHandle;
    std::string name;
};

/// A process as a private name records it: its number, and when it started in the system's own
/// units (0 where the system does not say), so that a number the system has given again to a
/// later process is told apart.
struct ProcessMark {
    std::uint64_t id = 0;
    std::uint64_t started = 0;
};

/// What replacing a regular file by a new one at its name would change for its users.
struct FileStanding {
    std::uint64_t links = 1; // hard links to it
    bool owned_by_user = true; // by the user this process runs as
    bool held_by_standard_stream = false; // standard output or error writes to it already
    bool mount_root = false; // mounted over its name (a file bind-mounted into a container)
    bool folder_append_only = false; // its folder lets no name be replaced or removed
};

/// A temporary file found beside the result, as open_leftover() found it.
struct LeftoverFacts {
    FileId id;
    bool owned_by_user = false;
    bool lock_taken = false; // no live run holds it
    std::int64_t age_seconds = 0; // since it was last changed
};

struct FileDoor {
    /// The working folder, as a Place's folder.
    Handle working_folder;
    /// Whether opening a missing result creates it there and then (POSIX), or the result is
    /// first made beside its name (Windows, where no kill can be caught and a new empty file
    /// would outlive one).
    bool creates_at_open;
    /// Whether a file held open may be replaced by a rename (POSIX); where not (Windows), the
    /// old file's handles go first.
    bool renames_over_open_files;

    /// Creates `name` for writing as the plain opening would create it (mode, ACL and owner as
    /// any new file there gets); fails with file_exists where anything is there, never following
    /// a link and never waiting.
    std::error_code (*create_new)(const char* name, Handle& file);
    /// Opens an existing `name` for writing as the plain opening does (through links, every rule
    /// of the system applied), keeping its content. With `wait`, a FIFO waits for a reader as the
    /// plain opening does; without, it fails at once (no_such_device_or_address). `created`: the
    /// opening made the file at the end of a dangling link.
    std::error_code (*open_existing)(const char* name, bool wait, Handle& file, bool& created);
    /// The file open at `file` opened once more, for reading and writing; kNoHandle where the
    /// system will not.
    Handle (*reopen_read_write)(Handle file, const char* name);
    void (*close)(Handle file);
    std::error_code (*identify)(Handle file, FileId& id);
    /// What is at `name` in `folder`, without following a link.
    std::error_code (*identify_at)(Handle folder, const char* name, FileId& id);

    /// The path under which the system knows the file open at `file` (through links); where it
    /// cannot say, `opened_as`.
    std::string (*path_of)(Handle file, const char* opened_as);
    /// The folder of `path` and the file's name in it, as a Place: the folder opened (POSIX), or
    /// the whole path (Windows). Fails where the system lacks the means (no descriptor left,
    /// say); a folder that cannot be read gives an empty name.
    std::error_code (*open_folder_of)(const std::string& path, Place& place);
    void (*close_folder)(Handle folder);
    /// What replacing the regular file open at `file`, in `folder`, by a new one would change for
    /// its users, as the system tells it.
    std::error_code (*standing)(Handle file, Handle folder, FileStanding& standing);
    /// A new file in `folder` with no name (it goes with its handle), made as any new file there
    /// is, open for reading and writing; operation_not_supported where the system or the file
    /// system cannot make one.
    std::error_code (*make_unnamed)(Handle folder, Handle& file);
    /// A new file `name` in `folder` (file_exists where the name is taken), made as any new file
    /// there is, open for reading and writing, and held for this run: locked while the run lives
    /// (POSIX, shielded by the folder's shared lock until then), or removed by the system however
    /// the run ends until it is renamed (Windows).
    std::error_code (*make_named)(Handle folder, const char* name, Handle& file);
    /// Gives `to` the group, mode and attributes (ACL, extended attributes, flags) of `from` as
    /// far as the system lets it: true where owner, group and mode match then; `attributes` says
    /// whether the attributes do (false where the system cannot tell).
    bool (*carry_identity)(Handle from, Handle to, bool& attributes);
    /// Gives the unnamed file `file` the name `name` in `folder` (file_exists where it is taken).
    std::error_code (*give_name)(Handle file, Handle folder, const char* name);
    /// Renames `from`, the name of the file open at `file`, to the place's name, replacing what
    /// is there in one step.
    std::error_code (*rename_over)(Handle file, const std::string& from, const Place& place);
    /// Takes the folder's lock, shared or alone, trying for a moment; false where it cannot (no
    /// locks on this file system, or another holds it that long).
    bool (*lock_folder)(Handle folder, bool alone);
    void (*unlock_folder)(Handle folder);
    /// Opens the file `name` in `folder` without following a link or waiting, takes its lock if
    /// it is free, and tells what it found; the handle keeps the lock until it is closed.
    std::error_code (*open_leftover)(
        Handle folder, const char* name, Handle& file, LeftoverFacts& facts);

    /// Renames `from` to `to` in `folder` without replacing anything (file_exists where `to` is
    /// taken); operation_not_supported where the system cannot promise that.
    std::error_code (*rename_no_replace)(Handle folder, const char* from, const char* to);
    std::error_code (*unlink)(Handle folder, const char* name);
    /// The names that begin with `prefix` in `folder`; where `prefix` holds a folder part, in
    /// that folder (relative to `folder`), each name given with that part.
    std::error_code (*names_beginning)(
        Handle folder, const std::string& prefix, std::vector<std::string>& names);
    /// This process's mark.
    ProcessMark (*this_process)();
    /// Whether a process with the mark's number runs and, where the system records a start,
    /// started then; where the system will not say (another user's process), true.
    bool (*process_running)(const ProcessMark& process);
    /// Tells the user, on standard error, one line.
    void (*say)(const char* line);

    /// Opens `name` for reading from its start.
    std::error_code (*open_read)(const char* name, Handle& file);
    /// Reads from where the file stands; `got` is 0 at its end.
    std::error_code (*read)(Handle file, char* data, std::size_t size, std::size_t& got);
    /// Moves the reading of a plain file past a hole that starts where it stands (a stretch of
    /// a sparse file kept as nothing, read as zero bytes) without reading it; the bytes passed,
    /// 0 where there is none or the system cannot tell.
    std::uint64_t (*skip_hole)(Handle file);

    /// Writes to a stream (a pipe, a device) where it stands.
    std::error_code (*write)(Handle file, const char* data, std::size_t size, std::size_t& written);
    std::error_code (*write_at)(Handle file, std::uint64_t offset, const char* data,
        std::size_t size, std::size_t& written);
    std::error_code (*read_at)(
        Handle file, std::uint64_t offset, char* data, std::size_t size, std::size_t& read);
    /// Copies within or between files without a trip through this process; `copied` may fall
    /// short (0 where the system cannot).
    std::uint64_t (*copy_range)(Handle from, std::uint64_t from_offset, Handle to,
        std::uint64_t to_offset, std::uint64_t size);
    std::error_code (*truncate)(Handle file, std::uint64_t size);
    /// Sets aside the room for `size` bytes of the file (no_space_on_device where there is none);
    /// where the file system cannot, compares with its free room instead.
    std::error_code (*allocate)(Handle file, std::uint64_t size);
    /// What the file system still gives this file to grow into, and what the file holds.
    std::uint64_t (*free_room)(Handle file);
    std::uint64_t (*held_bytes)(Handle file);
    /// Makes the file's data and metadata reach the disk; not_supported only where the system
    /// says such a file cannot be synced at all.
    std::error_code (*sync)(Handle file);
    /// The data alone (what reading it back needs), and a hint to start writing it out.
    std::error_code (*sync_data)(Handle file);
    void (*start_writeback)(Handle file);
    Handle (*duplicate)(Handle file);
    /// The folder's entries reach the disk (a rename, a new name).
    std::error_code (*sync_folder)(Handle folder);

    /// Holds back the signals that would end the process, and lets them through again.
    void (*hold_signals)();
    void (*release_signals)();
};

/// The process's door: the system's own primitives unless a test swapped some.
FileDoor& file_door();

/// The system's own primitives.
const FileDoor& system_file_door() noexcept;

/// Process-wide set-up before a run: a signal or console event that would end the process
/// calls `take_back` first (async-signal-safe); a write to a closed pipe or past a file size
/// limit fails with an error instead of killing the process.
void prepare_process(void (*take_back)());
