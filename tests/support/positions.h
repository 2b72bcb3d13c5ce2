#pragma once

#include "board.h"

#include <string>

/// A board from a list of pieces such as "La1 ba3 Be5": a cell symbol then a square name;
/// every square not named is empty.
Board position(const std::string& pieces);

/// The board file text for `board`: a header line, then one line per row with the rank label
/// in front, every line ended with `line_end`.
std::string board_file_text(const Board& board, const std::string& line_end = "\n");
