#pragma once

// The program's doors to the system: the few primitives that the result file's policy and the
// board's reading are built from, one implementation per system, in three doors by what they
// reach: files (FileDoor), the folder and its leftovers (FolderDoor), the process, its signals
// and the console (ProcessDoor). A primitive answers with an error code, or a handle that is
// kNoHandle where it failed, and never throws: what a failure means is the policy's to decide.
// Those used to take a file back (identify_at, rename_no_replace, unlink) are async-signal-safe
// on POSIX, since a signal handler calls them.
//
// Each door's entries are declared once, in its list (file_entries.h, folder_entries.h,
// process_entries.h): the entry's name, its type, and the ways it fails (the errors it can give,
// or the answer it gives instead). The list makes the door, each system's table of its own
// functions of those names, and the sweeps' wrappers, which fail every entry in each of its ways.
//
// The doors are process-wide; tests swap their entries to make the system fail, or to act
// between two of the policy's steps.

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

inline constexpr auto same_file
    = [](const FileId& a, const FileId& b) { return a.device == b.device && a.index == b.index; };
inline constexpr auto same_state = [](const FileId& a, const FileId& b) {
    return same_file(a, b) && a.size == b.size && a.modified == b.modified;
};

/// A name in a folder: `folder` open (the working folder: working_folder) and the name in it.
/// Where a system names files by path alone (Windows), `name` is the whole path and `folder`
/// unused. Names for the folder's other files are made by appending to `name`.
struct Place {
    Handle folder = kNoHandle;
    std::string name;
};

/// The file system's room for a file: what it still gives this user, and whether its blocks
/// are memory (tmpfs, ramfs), charged to the memory limits of the process that writes them. A
/// file system in memory without a size of its own (ramfs) gives all it is asked.
struct FileRoom {
    std::uint64_t free = 0;
    bool in_memory = false;
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

/// An entry of a door: a plain function, so that a signal handler may call it.
template <class Function> using DoorEntry = Function*;

struct FileDoor {
    /// Whether opening a missing result creates it there and then (POSIX), or the result is
    /// first made beside its name (Windows, where no kill can be caught and a new empty file
    /// would outlive one).
    bool creates_at_open;
#define RUNEL_ENTRY(name, type, ...) DoorEntry<type> name;
#include "file_entries.h"
};

struct FolderDoor {
    /// The working folder, as a Place's folder.
    Handle working_folder;
    /// Whether a file held open may be replaced by a rename (POSIX); where not (Windows), the
    /// old file's handles go first.
    bool renames_over_open_files;
#define RUNEL_ENTRY(name, type, ...) DoorEntry<type> name;
#include "folder_entries.h"
};

struct ProcessDoor {
#define RUNEL_ENTRY(name, type, ...) DoorEntry<type> name;
#include "process_entries.h"
};

/// The process's doors: the system's own primitives unless a test swapped some.
FileDoor& file_door();
FolderDoor& folder_door();
ProcessDoor& process_door();

/// The system's own primitives.
const FileDoor& system_file_door() noexcept;
const FolderDoor& system_folder_door() noexcept;
const ProcessDoor& system_process_door() noexcept;

/// Process-wide set-up before a run: a signal or console event that would end the process
/// calls `take_back` first (async-signal-safe); a write to a closed pipe or past a file size
/// limit fails with an error instead of killing the process.
void prepare_process(void (*take_back)());
