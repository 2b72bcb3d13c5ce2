#include "state.h"

State state_of(const Board& board, Position king)
{
    State state;
    for (int row = 0; row < kBoardSize; ++row) {
        for (int col = 0; col < kBoardSize; ++col) {
            const int code = board[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
            if (is_enemy(code)) state.enemy |= bit(square_at(row, col));
            if (code != kEmpty) state.occupied |= bit(square_at(row, col));
        }
    }
    state.king = square_at(king.first, king.second);
    return state;
}
