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
