#pragma once

#include "state.h"

#include <bit>

/// The state after the king captures the piece on `captured` and lands on `landing`. Whatever
/// stood on the landing square is overwritten by the king.
inline State after_capture(const State& state, Square captured, Square landing)
{
    return { state.enemy & ~bit(captured) & ~bit(landing),
        (state.occupied & ~bit(state.king) & ~bit(captured)) | bit(landing), landing };
}

/// False when no enemy piece stands on the king's row or column, so that there is no capture;
/// most states near the end of a sequence are such, and this says so without visiting.
inline bool enemy_on_lines(const State& state)
{
    constexpr Mask kFileA = 0x0101010101010101ULL;
    const Mask row = Mask { 0xff } << (row_of(state.king) * 8);
    const Mask col = kFileA << col_of(state.king);
    return (state.enemy & (row | col)) != 0;
}

/// Calls visit(landing, next_state) for every capture open to the king, in the search's order:
/// along the king's row first, then along its column; pieces by ascending index; landings
/// nearest first.
template <class Visit> void for_each_capture(const State& searched, Visit&& visit)
{
    // A copy of its own: the visits write text through char pointers, which may alias anything
    // reached by reference, so that every field would be read again after each of them.
    const State state = searched;
    const int row = row_of(state.king);
    const int col = col_of(state.king);

    // Only the first square beyond the piece must be empty: the squares between the king and the
    // piece are never looked at, and a farther landing square is simply overwritten. Pieces on
    // the board's edge beyond the king have no square behind them and are never captured: the
    // shifted masks of empty squares have no bit there.
    const auto row_enemies = static_cast<unsigned>((state.enemy >> (row * 8)) & 0xff);
    if (row_enemies != 0) {
        const auto row_empty = static_cast<unsigned>(~(state.occupied >> (row * 8)) & 0xff);
        // Files that hold an enemy piece anywhere, the piece about to be captured included.
        // Along the row a landing is taken only in such a file; along the column there is no
        // such rule.
        Mask folded = state.enemy;
        folded |= folded >> 32;
        folded |= folded >> 16;
        folded |= folded >> 8;
        const auto enemy_files = static_cast<unsigned>(folded & 0xff);
        const unsigned below = (1U << col) - 1;
        // Pieces below the king's file come first: they have the lower indices.
        for (unsigned pieces = row_enemies & (row_empty << 1) & below; pieces != 0;
             pieces &= pieces - 1) {
            const int i = std::countr_zero(pieces);
            const Square captured = square_at(row, i);
            // The files below the piece's that hold an enemy, nearest first.
            for (unsigned files = enemy_files & ((1U << i) - 1); files != 0;) {
                const int u = static_cast<int>(std::bit_width(files)) - 1;
                files &= ~(1U << u);
                visit(square_at(row, u), after_capture(state, captured, square_at(row, u)));
            }
        }
        for (unsigned pieces = row_enemies & (row_empty >> 1) & ~(below << 1 | 1); pieces != 0;
             pieces &= pieces - 1) {
            const int i = std::countr_zero(pieces);
            const Square captured = square_at(row, i);
            // The files above the piece's that hold an enemy, nearest first.
            for (unsigned files = enemy_files & ~((2U << i) - 1); files != 0; files &= files - 1) {
                const int u = std::countr_zero(files);
                visit(square_at(row, u), after_capture(state, captured, square_at(row, u)));
            }
        }
    }
    constexpr Mask kFileA = 0x0101010101010101ULL;
    const Mask col_enemies = (state.enemy >> col) & kFileA;
    if (col_enemies == 0) return;
    const Mask col_empty = (~state.occupied >> col) & kFileA;
    const Mask above = (Mask { 1 } << (row * 8)) - 1;
    for (Mask pieces = col_enemies & (col_empty << 8) & above; pieces != 0; pieces &= pieces - 1) {
        const int j = std::countr_zero(pieces) >> 3;
        const Square captured = square_at(j, col);
        for (int u = j - 1; u >= 0; --u)
            visit(square_at(u, col), after_capture(state, captured, square_at(u, col)));
    }
    for (Mask pieces = col_enemies & (col_empty >> 8) & ~(above << 8 | 0xff); pieces != 0;
         pieces &= pieces - 1) {
        const int j = std::countr_zero(pieces) >> 3;
        const Square captured = square_at(j, col);
        for (int u = j + 1; u < 8; ++u)
            visit(square_at(u, col), after_capture(state, captured, square_at(u, col)));
    }
}
