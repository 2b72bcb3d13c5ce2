#include "board.h"

#include "console.h"
#include "files.h"

#include <algorithm>
#include <system_error>

namespace {

// Only this many characters of a board line are examined: a one-character rank label and
// eight cells. Whatever stands after them is ignored.
constexpr std::size_t kExaminedColumns = 9;

// The header plus the eight board lines; nothing after them can change the result.
constexpr int kLinesNeeded = 1 + kBoardSize;

std::optional<int> cell_code(char symbol)
{
    switch (symbol) {
    case '+':
    case '*':
        return kEmpty;
    case 'b':
        return kEnemyMan;
    case 'B':
        return kEnemyKing;
    case 'l':
        return kOwnMan;
    case 'L':
        return kOwnKing;
    default:
        return std::nullopt;
    }
}

// Splits bytes into lines the way line-by-line reading of a text stream does (a last line
// without a line end still counts, an empty tail after the last line end does not), keeping
// only the examined prefix of each line so that a huge line costs no memory.
class LineCollector {
public:
    void feed(const char* data, std::size_t size)
    {
        for (std::size_t i = 0; i < size && !done(); ++i) {
            if (data[i] == '\n') {
                end_line();
            } else {
                if (current_.size() < kExaminedColumns) current_.push_back(data[i]);
                in_line_ = true;
            }
        }
    }

    void finish()
    {
        if (in_line_ && !done()) end_line();
    }

    bool done() const { return static_cast<int>(lines_.size()) >= kLinesNeeded; }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    void end_line()
    {
        lines_.push_back(std::move(current_));
        current_.clear();
        in_line_ = false;
    }

    std::vector<std::string> lines_;
    std::string current_;
    bool in_line_ = false;
};

BoardReading board_from_lines(const std::vector<std::string>& lines)
{
    BoardReading reading;
    if (lines.empty()) {
        reading.error = BoardFileError { 0, "the file is empty" };
        return reading;
    }
    const int board_lines = static_cast<int>(lines.size()) - 1;
    for (int row = 0; row < board_lines && row < kBoardSize; ++row) {
        std::vector<int> cells = encode_map(lines[static_cast<std::size_t>(row) + 1]);
        if (cells.size() != kBoardSize) {
            reading.error = BoardFileError { row + 2,
                "expected 8 squares, found " + std::to_string(cells.size()) };
            return reading;
        }
        reading.board.push_back(std::move(cells));
    }
    if (board_lines < kBoardSize) {
        reading.error = BoardFileError { 0,
            "expected 8 board lines after the header, found " + std::to_string(board_lines) };
    }
    return reading;
}

} // namespace

std::vector<int> encode_map(std::string line)
{
    std::vector<int> row;
    const std::size_t examined = std::min(line.size(), kExaminedColumns);
    for (std::size_t i = 0; i < examined; ++i) {
        if (const auto code = cell_code(line[i])) row.push_back(*code);
    }
    return row;
}

Position damka_cords_find(const Board& board)
{
    const int last_row = std::min(static_cast<int>(board.size()), kBoardSize) - 1;
    for (int row = last_row; row >= 0; --row) {
        const auto& cells = board[static_cast<std::size_t>(row)];
        for (std::size_t col = 0; col < cells.size(); ++col) {
            if (cells[col] == kOwnKing) return { row, static_cast<int>(col) };
        }
    }
    return kNoKing;
}

BoardReading read_board_text(const std::string& text)
{
    LineCollector collector;
    collector.feed(text.data(), text.size());
    collector.finish();
    return board_from_lines(collector.lines());
}

BoardReading read_board_file(const std::string& path)
{
    BoardReading failed;
    const char* step = "cannot open";
    try {
        InputFile file(path);
        step = "cannot read";
        LineCollector collector;
        char chunk[64 * 1024];
        while (!collector.done()) {
            const std::size_t got = file.read(chunk, sizeof chunk);
            if (got == 0) break;
            collector.feed(chunk, got);
        }
        collector.finish();
        return board_from_lines(collector.lines());
    } catch (const std::system_error& failure) {
        failed.error
            = BoardFileError { 0, std::string(step) + ": " + system_message(failure.code()) };
        return failed;
    }
}
