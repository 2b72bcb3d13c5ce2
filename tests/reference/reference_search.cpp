#include "reference_search.h"

#include "text_mode.h"

#include <cstdlib>

std::set<std::string> pathes;
unsigned long long reference_step_limit = 0;
unsigned long long reference_steps = 0;

Position edit_cords(int row, int col)
{
    return { row, col };
}

bool if_in_vert_enemy(const Board& board, int col)
{
    for (int row = 0; row < kBoardSize; ++row) {
        if (is_enemy(board[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)]))
            return true;
    }
    return false;
}

Board edit_map(Board board, Position king, int captured_row, int captured_col, int distance)
{
    auto cell = [&board](int row, int col) -> int& {
        return board[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    };
    const auto [row, col] = king;
    cell(row, col) = kEmpty;
    if (captured_row == 0) {
        cell(row, captured_col + distance) = kOwnKing;
        cell(row, captured_col) = kEmpty;
    } else {
        cell(captured_row + distance, col) = kOwnKing;
        cell(captured_row, col) = kEmpty;
    }
    return board;
}

namespace {

// One capture of the search: carry it out on a copy, recurse from the landing square, and
// settle the returned text against the call's text `path` (which is also its best so far).
void try_capture(const Board& board, Position king, std::string& path, Position landing,
    int captured_row, int captured_col, int distance)
{
    // A step is a capture and the copying of its text, which is what makes long results slow.
    reference_steps += 1 + path.size();
    if (reference_step_limit != 0 && reference_steps > reference_step_limit)
        throw StepLimitReached {};
    const std::string extended = edit_path(path, king, landing);
    const Board after = edit_map(board, king, captured_row, captured_col, distance);
    const std::string result = logic(after, landing, extended);
    if (result.size() > path.size()) {
        path = result;
        pathes.clear();
    }
    pathes.insert(result);
}

} // namespace

std::string logic(Board board, Position king, std::string path)
{
    const auto [row, col] = king;
    auto cell = [&board](int r, int c) {
        return board[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
    };

    // Along the row. Only the first square beyond the piece must be empty: the squares between
    // the king and the piece are never looked at, and a farther landing square is overwritten.
    // A landing is taken only in a column that holds an enemy piece somewhere (this call's
    // board, the piece being captured included) - the rule of the row, not of the column.
    for (int i = 0; i < kBoardSize; ++i) {
        if (!is_enemy(cell(row, i))) continue;
        if (0 < i && i < col) {
            if (cell(row, i - 1) != kEmpty) continue;
            for (int u = i - 1; u >= 0; --u) {
                if (if_in_vert_enemy(board, u))
                    try_capture(board, king, path, edit_cords(row, u), 0, i, u - i);
            }
        } else if (col < i && i <= 6) {
            if (cell(row, i + 1) != kEmpty) continue;
            for (int u = i + 1; u < kBoardSize; ++u) {
                if (if_in_vert_enemy(board, u))
                    try_capture(board, king, path, edit_cords(row, u), 0, i, u - i);
            }
        }
    }

    // Along the column, every landing beyond the piece is taken.
    for (int j = 0; j < kBoardSize; ++j) {
        if (!is_enemy(cell(j, col))) continue;
        if (0 < j && j < row) {
            if (cell(j - 1, col) != kEmpty) continue;
            for (int u = j - 1; u >= 0; --u)
                try_capture(board, king, path, edit_cords(u, col), j, 0, u - j);
        } else if (row < j && j <= 6) {
            if (cell(j + 1, col) != kEmpty) continue;
            for (int u = j + 1; u < kBoardSize; ++u)
                try_capture(board, king, path, edit_cords(u, col), j, 0, u - j);
        }
    }
    return path;
}

std::string reference_result(const Board& board, unsigned long long step_limit)
{
    pathes.clear();
    reference_step_limit = step_limit;
    reference_steps = 0;
    const Position king = damka_cords_find(board);
    if (king != kNoKing) logic(board, king, "");
    std::string bytes;
    for (const std::string& path : pathes) bytes += path + std::string(kLineEnd);
    if (pathes.empty()) bytes = "No";
    pathes.clear();
    return bytes;
}
