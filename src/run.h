#pragma once

#include "board.h"
#include "storage.h"

#include <cstdint>
#include <iosfwd>

inline constexpr const char* kBoardFileName = "Runel_in.txt";
inline constexpr const char* kResultFileName = "Runel_out.txt";

struct RunOptions {
    /// Memory the size count may take before the result is written without knowing its size.
    std::uint64_t size_count_budget = std::uint64_t { 1 } << 30;
};

/// The result's size is known and the storage has no room for it.
struct NoRoomForResult {
    std::uint64_t bytes = 0;
    bool at_least = false; // `bytes` is only a lower bound
};

/// Writes the whole result file for `board` into `storage`: the settled paths, one a line in
/// ascending order, or "No". Reserves the result's full size first when it can be counted
/// within the budget. Throws NoRoomForResult, or std::system_error if the storage fails.
void write_result(const Board& board, Storage& storage, const RunOptions& options = {});

/// One run in the working directory, from the board file to the result file. Failures are
/// reported on `errors` in one line; returns the exit status.
int run(std::ostream& errors, const RunOptions& options = {});
