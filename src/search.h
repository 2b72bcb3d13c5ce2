#pragma once

#include "board.h"

#include <set>
#include <string>

/// The settled capture paths of the search, in ascending byte order.
extern std::set<std::string> pathes;

/// Name of a square: file letter then rank digit, (7, 0) is "a1".
std::string square_name(Position square);

/// `path` extended by the king's move from `from` to `to`: a fresh text for an empty path, the
/// last rank digit replaced when `to` is one rank away on the file the text ends on, else ":to".
std::string edit_path(std::string path, Position from, Position to);

/// The position (row, col).
Position edit_cords(int row, int col);

/// True if any of rows 0-7 of column `col` holds an enemy piece.
bool if_in_vert_enemy(const Board& board, int col);

/// `board` after the king at `king` captures along its row (captured_row == 0, the piece in
/// column captured_col) or its column (captured_col == 0, the piece in row captured_row) and
/// lands `distance` squares beyond the piece.
Board edit_map(Board board, Position king, int captured_row, int captured_col, int distance);

/// Explores every capture sequence of the king at `king`, settling results into `pathes`;
/// returns the longest path text this call has seen.
std::string logic(Board board, Position king, std::string path);
