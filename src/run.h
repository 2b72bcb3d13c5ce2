#pragma once

#include "board.h"
#include "storage.h"

#include <iosfwd>

inline constexpr const char* kBoardFileName = "Runel_in.txt";
inline constexpr const char* kResultFileName = "Runel_out.txt";

/// Writes the whole result file for `board` into `storage`: the settled paths, one a line in
/// ascending order, or "No". Throws std::system_error if the storage fails.
void write_result(const Board& board, Storage& storage);

/// One run in the working directory, from the board file to the result file. Failures are
/// reported on `errors` in one line; returns the exit status.
int run(std::ostream& errors);
