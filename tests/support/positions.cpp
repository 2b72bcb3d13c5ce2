#include "positions.h"

#include <sstream>
#include <stdexcept>

namespace {

char symbol_of(int code)
{
    switch (code) {
    case kEmpty:
        return '+';
    case kEnemyMan:
        return 'b';
    case kEnemyKing:
        return 'B';
    case kOwnMan:
        return 'l';
    case kOwnKing:
        return 'L';
    default:
        throw std::invalid_argument("no symbol for code " + std::to_string(code));
    }
}

} // namespace

Board position(const std::string& pieces)
{
    Board board(kBoardSize, std::vector<int>(kBoardSize, kEmpty));
    std::istringstream tokens(pieces);
    std::string token;
    while (tokens >> token) {
        if (token.size() != 3) throw std::invalid_argument("bad piece " + token);
        const std::vector<int> cell = encode_map(token.substr(0, 1));
        const int col = token[1] - 'a';
        const int row = 8 - (token[2] - '0');
        if (cell.size() != 1 || col < 0 || col >= kBoardSize || row < 0 || row >= kBoardSize)
            throw std::invalid_argument("bad piece " + token);
        board[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)] = cell[0];
    }
    return board;
}

std::string board_file_text(const Board& board, const std::string& line_end)
{
    std::string text = "  abcdefgh" + line_end;
    for (std::size_t row = 0; row < board.size(); ++row) {
        text += static_cast<char>('8' - row);
        for (const int code : board[row]) text += symbol_of(code);
        text += line_end;
    }
    return text;
}
