#pragma once

#include "board.h"

#include <cstdint>

/// Square index 0-63: row * 8 + column, in the Board's indexing (0 is a8, 63 is h1).
using Square = int;
using Mask = std::uint64_t;

inline constexpr Mask bit(Square square)
{
    return Mask { 1 } << square;
}
inline constexpr int row_of(Square square)
{
    return square >> 3;
}
inline constexpr int col_of(Square square)
{
    return square & 7;
}
inline constexpr Square square_at(int row, int col)
{
    return row * 8 + col;
}
inline constexpr char file_char(Square square)
{
    return static_cast<char>('a' + col_of(square));
}
inline constexpr char rank_char(Square square)
{
    return static_cast<char>('8' - row_of(square));
}

/// True when `mask` has more than `count` squares set; cheaper than a population count where
/// the processor has no instruction for it and `count` is small.
inline constexpr bool more_than(Mask mask, int count)
{
    for (int i = 0; i < count && mask != 0; ++i) mask &= mask - 1;
    return mask != 0;
}

/// The squares set in `mask`, in a fixed dozen operations: the build targets processors without a
/// population count instruction, where std::popcount is a call into the runtime.
inline constexpr int squares_in(Mask mask)
{
    mask -= (mask >> 1) & 0x5555555555555555ULL;
    mask = (mask & 0x3333333333333333ULL) + ((mask >> 2) & 0x3333333333333333ULL);
    mask = (mask + (mask >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return static_cast<int>((mask * 0x0101010101010101ULL) >> 56);
}

/// What the search needs of a board: where the enemy pieces are, which squares are not empty,
/// and where the moving king stands. Passed by value through the search; 17 bytes of truth.
struct State {
    Mask enemy = 0;
    Mask occupied = 0;
    Square king = 0;
    friend bool operator==(const State&, const State&) = default;
};

/// The state of an 8x8 `board` (rows 0-7, columns 0-7 only) with the king at `king`.
State state_of(const Board& board, Position king);
