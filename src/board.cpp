#include "board.h"

#include "console.h"
#include "input_file.h"
#include "messages.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace {

// Only this many characters of a board line are examined: a one-character rank label and
// eight cells. Whatever stands after them is ignored.
constexpr std::size_t kExaminedColumns = 9;

// The header plus the eight board lines; nothing after them can change the result.
constexpr int kLinesNeeded = 1 + kBoardSize;

// Reads of this size keep the system calls few while the bytes stay in the processor's cache
// for the search for line ends.
constexpr std::size_t kReadSize = std::size_t { 256 } << 10;

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

// Characters that stand in a board line beside its squares: a rank label, a space or a tab after
// it, the CR of a CR LF line end. They drop out like any other character that is not a square
// symbol; but where a line comes out short of squares, the first character that is neither is
// taken for a mistyped symbol, and named.
bool stands_beside_squares(char character)
{
    return (character >= '0' && character <= '9') || character == ' ' || character == '\t'
        || character == '\r';
}

// A character as a message shows it: itself if it is printable ASCII, else its byte's value (a
// byte of a UTF-8 character, a control character).
std::string shown(char character)
{
    const auto byte = static_cast<unsigned char>(character);
    if (byte > ' ' && byte < 0x7f) return std::string("'") + character + "'";
    constexpr const char* kHexDigits = "0123456789ABCDEF";
    return std::string("byte 0x") + kHexDigits[byte >> 4] + kHexDigits[byte & 0xf];
}

// The fault of a board line (its examined characters) that does not yield eight squares.
BoardFileError wrong_square_count(const std::string& examined, int line, std::size_t found)
{
    std::string message = words_of(Message::wrong_square_count, { std::to_string(found) });
    if (found > kBoardSize) return { line, message };
    const auto mistyped = std::find_if(examined.begin(), examined.end(),
        [](char character) { return !cell_code(character) && !stands_beside_squares(character); });
    if (mistyped == examined.end()) return { line, message };
    return { line, words_of(Message::not_a_square, { shown(*mistyped) }) + ": " + message,
        static_cast<int>(mistyped - examined.begin()) + 1 };
}

BoardReading board_from_lines(const std::vector<std::string>& lines)
{
    BoardReading reading;
    if (lines.empty()) {
        reading.error = BoardFileError { 0, words_of(Message::file_is_empty) };
        return reading;
    }
    const int board_lines = static_cast<int>(lines.size()) - 1;
    for (int row = 0; row < board_lines && row < kBoardSize; ++row) {
        const std::string& line = lines[static_cast<std::size_t>(row) + 1];
        std::vector<int> cells = encode_map(line);
        if (cells.size() != kBoardSize) {
            reading.error = wrong_square_count(line, row + 2, cells.size());
            return reading;
        }
        reading.board.push_back(std::move(cells));
    }
    if (board_lines < kBoardSize) {
        reading.error = BoardFileError { 0,
            words_of(Message::too_few_lines, { std::to_string(board_lines) }) };
    }
    return reading;
}

// Splits bytes into lines the way line-by-line reading of a text stream does (a last line
// without a line end still counts, an empty tail after the last line end does not), keeping
// only the examined prefix of each line so that a huge line costs no memory. A line longer than
// `longest_line` stops the reading: a stream without line ends would otherwise be read for ever.
class LineCollector {
public:
    explicit LineCollector(std::uint64_t longest_line)
        : longest_line_(longest_line)
    {
    }

    void feed(const char* data, std::size_t size)
    {
        while (size > 0 && !done()) {
            // Whole stretches at a time: a long line passes at the speed of memory.
            const auto* line_end = static_cast<const char*>(std::memchr(data, '\n', size));
            const std::size_t part
                = line_end == nullptr ? size : static_cast<std::size_t>(line_end - data);
            take(data, part);
            if (line_end == nullptr || too_long()) return;
            end_line();
            data += part + 1;
            size -= part + 1;
        }
    }

    /// Takes `count` zero bytes in the line being read (a hole of a sparse file).
    void feed_zeros(std::uint64_t count)
    {
        if (count == 0 || done()) return;
        current_.append(std::min<std::uint64_t>(count, kExaminedColumns - current_.size()), '\0');
        current_length_ += count;
        in_line_ = true;
    }

    bool in_line() const { return in_line_; }

    void finish()
    {
        if (in_line_ && !done()) end_line();
    }

    bool done() const { return static_cast<int>(lines_.size()) >= kLinesNeeded || too_long(); }

    /// The board the lines make, or what is wrong with them.
    BoardReading reading() const
    {
        BoardReading reading = board_from_lines(lines_);
        // A fault on an earlier line is the first one.
        if (too_long() && !(reading.error && reading.error->line > 0)) {
            reading.board.clear();
            reading.error = BoardFileError { static_cast<int>(lines_.size()) + 1,
                words_of(Message::no_line_end, { std::to_string(longest_line_) }) };
        }
        return reading;
    }

private:
    void take(const char* data, std::size_t size)
    {
        current_.append(data, std::min(size, kExaminedColumns - current_.size()));
        current_length_ += size;
        in_line_ = in_line_ || size > 0;
    }

    void end_line()
    {
        lines_.push_back(std::move(current_));
        current_.clear();
        current_length_ = 0;
        in_line_ = false;
    }

    bool too_long() const { return current_length_ > longest_line_; }

    std::uint64_t longest_line_;
    std::vector<std::string> lines_;
    std::string current_;
    std::uint64_t current_length_ = 0;
    bool in_line_ = false;
};

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
    LineCollector collector(std::max<std::uint64_t>(kLongestBoardFileLine, text.size()));
    collector.feed(text.data(), text.size());
    collector.finish();
    return collector.reading();
}

BoardReading read_board_file(const std::string& path)
{
    BoardReading failed;
    Message step = Message::cannot_open;
    try {
        InputFile file(path);
        step = Message::cannot_read;
        // A file with a size ends there, however long its lines; a device or a pipe may never end.
        LineCollector collector(std::max(kLongestBoardFileLine, file.size_at_open()));
        std::vector<char> chunk(kReadSize);
        while (!collector.done()) {
            // A hole holds no line end: passed over, it costs neither reading nor cached pages.
            if (collector.in_line()) collector.feed_zeros(file.skip_hole());
            if (collector.done()) break;
            const std::size_t got = file.read(chunk.data(), chunk.size());
            if (got == 0) break;
            collector.feed(chunk.data(), got);
        }
        collector.finish();
        return collector.reading();
    } catch (const std::system_error& failure) {
        failed.error = BoardFileError { 0, words_of(step, { system_message(failure.code()) }) };
        return failed;
    }
}
