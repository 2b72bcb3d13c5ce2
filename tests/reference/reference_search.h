#pragma once

// The capture search written as the plain recursive procedure: every capture copies the board and
// the path text. Obviously right and hopelessly slow on big results, it is the model that the
// fast search is held to.

#include "board.h"
#include "path_text.h"

#include <set>
#include <string>

/// The settled capture paths of the search, in ascending byte order.
extern std::set<std::string> pathes;

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

/// Raised by logic once its steps pass `reference_step_limit`; a step is one capture and one
/// character of path text copied for it.
struct StepLimitReached { };

/// Steps logic may take before it gives up; 0 means no limit. Counted by reference_steps.
extern unsigned long long reference_step_limit;
extern unsigned long long reference_steps;

/// The result file's bytes for `board` by the plain procedure: the sorted paths or "No".
/// Throws StepLimitReached when the search runs past `step_limit` steps (0: no limit).
std::string reference_result(const Board& board, unsigned long long step_limit = 0);
