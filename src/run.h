#pragma once

#include "board.h"
#include "storage.h"

#include <cstdint>
#include <iosfwd>
#include <limits>

inline constexpr const char* kBoardFileName = "Runel_in.txt";
inline constexpr const char* kResultFileName = "Runel_out.txt";

struct RunOptions {
    /// The most memory the size count may take; it takes less where the process cannot have as
    /// much. Less memory makes the count slower, never impossible.
    std::uint64_t size_count_budget = std::numeric_limits<std::uint64_t>::max();
};

/// The storage has no room for the result.
struct NoRoomForResult {
    std::uint64_t bytes = 0; // what the result needs
    bool at_least = false; // the result needs more than `bytes`: the count stopped there
    std::uint64_t room = 0; // the free room the result met
};

/// Writes the whole result file for `board` into `storage`: the settled paths, one a line in
/// ascending order, or "No". Into a pipe or device the result streams; into a file, no more than
/// a small prefix is written before its size is counted and its room reserved (none where the
/// file is written in place). Throws NoRoomForResult soon after the count passes the free room,
/// or std::system_error if the storage fails; std::bad_alloc where a memory limit leaves too
/// little for the run itself.
void write_result(const Board& board, Storage& storage, const RunOptions& options = {});

/// One run in the working directory, from the board file to the result file. Failures are
/// reported on `errors` in one line; returns the exit status.
int run(std::ostream& errors, const RunOptions& options = {});
