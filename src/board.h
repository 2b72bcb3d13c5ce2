#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Cell codes of the board, as the board file's symbols map to them.
inline constexpr int kEmpty = 0;
inline constexpr int kEnemyMan = 1;
inline constexpr int kEnemyKing = 2;
inline constexpr int kOwnMan = 7;
inline constexpr int kOwnKing = 9;

inline constexpr int kBoardSize = 8;

/// Rows of cell codes; row 0 is rank 8 (the top of the printed board), column 0 is file a.
using Board = std::vector<std::vector<int>>;
/// (row, column) in the Board's indexing; (-1, -1) means "no king".
using Position = std::pair<int, int>;

inline constexpr Position kNoKing { -1, -1 };

inline bool is_enemy(int code)
{
    return code == kEnemyMan || code == kEnemyKing;
}

/// One board row from one line of the board file: the codes of the cell symbols among its
/// first nine characters; every other character yields nothing.
std::vector<int> encode_map(std::string line);

/// The own king that is to move: the lowest row first, then the leftmost; kNoKing if none.
Position damka_cords_find(const Board& board);

/// A board file that could not be turned into an 8x8 board: what is wrong, and where if known.
struct BoardFileError {
    int line = 0; // 1-based line of the file, 0 when the fault is not on one line
    std::string message;
    int column = 0; // 1-based byte of the line, 0 when no one character is at fault
};

/// The longest line a board file may have among its first nine where the file itself is not
/// longer: 64 MiB, millions of times the nine characters examined of a line, and read from a slow
/// pipe in a fraction of a second. So only a device or a pipe, which has no size, can hold a
/// longer one, and a stream without line ends is refused at once instead of read for ever.
inline constexpr std::uint64_t kLongestBoardFileLine = std::uint64_t { 64 } << 20;

/// Reads a board file's text: the header line is skipped, the next eight lines must each
/// yield exactly eight cells, and anything after them is never looked at.
struct BoardReading {
    Board board;
    std::optional<BoardFileError> error;
};

/// Reads the board file at `path`, consuming no more of it than the header and eight lines, and
/// none of a line past its bound (kLongestBoardFileLine, or the file's size if that is more).
BoardReading read_board_file(const std::string& path);

/// The same rules on text already in memory.
BoardReading read_board_text(const std::string& text);
