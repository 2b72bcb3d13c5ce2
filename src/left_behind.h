#pragma once

/// What a failed run left at the result's name, for the user to be told: the result file's
/// policy says it, and the messages put it in words.
enum class LeftBehind {
    nothing, // no earlier result, and nothing of this run's
    earlier_kept, // the earlier result, as it was
    earlier_removed, // no result: the earlier one was removed
    part_written, // the file written in place holds part of the new result
    emptied, // the file at the name is empty: the run emptied it, or made it and could not remove
             // it
    new_result, // the complete new result, which may not survive a power failure
};

#include "file_door.h"

#include <cstdint>
#include <optional>

/// What a failed run left where its result goes, looked at there: never what the run remembers
/// having done, which another run may have undone meanwhile. `had_earlier`: a file was there when
/// the run began. `made`: the file this run made there, as it made it; `wrote_into`: the file it
/// wrote its own bytes into (open at `written`), and `whole` the size of the complete new result
/// where every byte of it was written there.
LeftBehind left_at(const Place& where, bool had_earlier, const FileId* made,
    const FileId* wrote_into = nullptr, std::optional<std::uint64_t> whole = std::nullopt,
    Handle written = kNoHandle);
