// Fuzzes the board reader on arbitrary bytes, against the plain line-by-line reading of a text
// stream with encode_map: a board that reads well must read exactly like that.

#include "board.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

// Reads the way a text stream is read line by line: the header thrown away, each further line
// one row.
Board plain_reading(const std::string& text)
{
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    Board board;
    while (std::getline(in, line)) board.push_back(encode_map(line));
    return board;
}

void check(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const BoardReading reading = read_board_text(text);
    const Board plain = plain_reading(text);
    bool plain_well_formed = plain.size() >= kBoardSize && !text.empty();
    for (std::size_t row = 0; row < kBoardSize && row < plain.size(); ++row)
        plain_well_formed = plain_well_formed && plain[row].size() == kBoardSize;
    check(plain_well_formed == !reading.error);
    if (reading.error) {
        check(!reading.error->message.empty());
        check(reading.error->line == 0 || (reading.error->line >= 2 && reading.error->line <= 9));
        // A character named as the fault stands among the nine examined of a board line.
        check(reading.error->column == 0
            || (reading.error->line > 0 && reading.error->column >= 1
                && reading.error->column <= 9));
        return 0;
    }
    check(reading.board.size() == kBoardSize);
    for (std::size_t row = 0; row < kBoardSize; ++row) check(reading.board[row] == plain[row]);
    return 0;
}
