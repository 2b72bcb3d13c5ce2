#pragma once

// The result file's policy, the same on every system: how the result reaches Runel_out.txt
// (replaced in one step, written in place, or streamed), and what a failure takes back. It acts
// only through the primitives of file_door.h.

#include "storage.h"

#include <memory>
#include <string>

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
    /// once commit() has put the result in place.
    virtual void abandon() { }
};

/// Opens the result file `name` for writing; throws std::system_error (permission denied for an
/// existing result the user may not write, say).
std::unique_ptr<ResultOutput> open_result(const std::string& name);

/// After a failed run that did not open the result: removes an earlier result at `name` where
/// this run would itself have replaced it, so that no stale result outlives the failure.
void remove_stale_result(const std::string& name);
