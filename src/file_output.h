#pragma once

// A regular file as the result, in the stages of result_stages.h: written beside its name and
// put in place by a rename where that is invisible to its users, else written in place.

#include "file_handle.h"
#include "result_file.h"
#include "take_back.h"

#include <memory>

/// What the opening found or made at the result's name.
struct Opened {
    OwnedFile file; // as the opening opened it; none where nothing was there (Windows)
    FileId id; // as the opening found it
    Place place; // the folder proven to hold it, and its name there; an empty name if unproven
    OwnedFolder folder; // place's folder
    TakeBack made; // the file the opening created, taken back with the run
};

/// The result written into the regular file the opening found at `name`; `stale`: that file is
/// the earlier result the run began with.
std::unique_ptr<ResultOutput> file_output(Opened opened, const std::string& name, bool stale);
