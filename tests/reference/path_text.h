#pragma once

#include "board.h"

#include <string>

/// Name of a square: file letter then rank digit, (7, 0) is "a1".
std::string square_name(Position square);

/// `path` extended by the king's move from `from` to `to`: a fresh text for an empty path, the
/// last rank digit replaced when `to` is one rank away on the file the text ends on, else ":to".
std::string edit_path(std::string path, Position from, Position to);

/// True when a text ending in `last` (file, rank characters) is extended to `to` by replacing its
/// last rank digit rather than by adding a square: the rule of edit_path for a non-empty path.
inline bool replaces_last_rank(char last_file, char last_rank, char to_file, char to_rank)
{
    return last_file == to_file && (last_rank - to_rank == 1 || to_rank - last_rank == 1);
}
