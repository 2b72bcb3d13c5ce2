#pragma once

// The result file of a run: how the result reaches Runel_out.txt (replaced in one step, written in
// place, or streamed), and what a failure takes back, the same on every system. It acts only
// through the primitives of file_door.h.

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

/// Where the result is written: a regular file (file_output.h), or a pipe or device.
class ResultOutput : public Storage {
public:
    /// Makes what was written the result: on the disk, then put in place.
    virtual void commit() = 0;
    /// After a failure: takes back what the run made, and says what is left at the name.
    virtual LeftBehind abandon() { return LeftBehind::nothing; }
};

/// One run's result file, from the run's first look at its name to what its failure leaves.
class ResultFile {
public:
    /// Looks at `name` as the run begins: the file there, where it is a regular file in the
    /// working folder itself, is the only one a failure of the run may take for a stale result,
    /// and only while it stays as it was (a result another run puts in place meanwhile is never
    /// stale). Then puts back what a dead run left moved aside from the name.
    explicit ResultFile(std::string name);

    /// Opens the result for writing, as the plain opening for writing opens `name` (created if
    /// missing, through links, with every rule of the system applied), but with its content kept
    /// until the new result is known to fit. A regular file is written beside its name and
    /// replaces it only on commit (never half a result) where replacing it changes nothing else a
    /// user could see; otherwise it is written in place. A pipe or device takes the bytes in
    /// order as they come. Throws OpeningRefused or std::system_error.
    ResultOutput& open();

    /// After a failure anywhere in the run, the opening included: takes back what the run made
    /// and removes the earlier result where the run would itself have replaced it and it is still
    /// the stale one, so that no stale result outlives the failure. Says what is left at the name.
    LeftBehind abandon();

private:
    std::string name_;
    std::optional<FileId> at_start_;
    std::optional<FileId> made_; // by an opening that failed after making the file
    std::unique_ptr<ResultOutput> output_;
};
