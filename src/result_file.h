#pragma once

// The result file's policy, the same on every system: how the result reaches Runel_out.txt
// (replaced in one step, written in place, or streamed), and what a failure takes back. It acts
// only through the primitives of file_door.h.

#include "file_door.h"
#include "left_behind.h"
#include "storage.h"

#include <memory>
#include <optional>
#include <string>
#include <system_error>

/// A refused opening of the result, by the file itself or by its folder.
struct OpeningRefused : std::system_error {
    OpeningRefused(std::error_code code, bool by_folder)
        : std::system_error(code)
        , by_folder(by_folder)
    {
    }
    bool by_folder;
};

/// The result file, opened as the plain opening for writing opens `name` (created if missing,
/// through links, with every rule of the system applied), but with its content kept until the
/// new result is known to fit. A regular file is written beside its name and replaces it only on
/// commit() (never half a result) where replacing it changes nothing else a user could see;
/// otherwise it is written in place (other hard links, another owner, a mount point, attributes
/// that cannot be carried over, an append-only folder). A pipe or device takes the bytes in
/// order as they come.
class ResultOutput : public Storage {
public:
    /// Makes what was written the result: on the disk, then put in place.
    virtual void commit() = 0;
    /// After a failure: takes back what the run made (a new file, a result file its opening
    /// created) and removes an earlier result where the run would itself have replaced it and it
    /// is still the file that was at the name in the working folder when the run began, so that
    /// no stale result outlives the failure. Never empties a file written in place; does nothing
    /// once commit() has put the result in place. Says what is left at the name.
    virtual LeftBehind abandon() { return LeftBehind::nothing; }
};

/// The file at `name` in the working folder itself as a run finds it when it begins, where that
/// is a regular file: the only one a failure of that run may take for a stale result, and only
/// while it stays as it was. (A result another run puts in place meanwhile is never stale.)
std::optional<FileId> result_at_start(const std::string& name);

/// Opens the result file `name` for writing; throws OpeningRefused (permission denied for an
/// existing result the user may not write, or a folder that takes no new file, say), or
/// std::system_error. `at_start`: what result_at_start() found, where the run looked before
/// (by default, the file the opening finds). `made` gets the file the opening created, from the
/// moment it exists: a failed opening takes it back, and its run must know it should it stay.
std::unique_ptr<ResultOutput> open_result(const std::string& name,
    const std::optional<FileId>* at_start = nullptr, std::optional<FileId>* made = nullptr);

/// After a failed run that did not open the result: removes an earlier result at `name` where
/// this run would itself have replaced it, and it is still as `at_start` saw it, so that no stale
/// result outlives the failure. Says what is left at the name, where `made` is what a failed
/// opening created.
LeftBehind remove_stale_result(const std::string& name, const std::optional<FileId>& at_start,
    const std::optional<FileId>& made = {});
