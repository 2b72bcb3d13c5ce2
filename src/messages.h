#pragma once

// Every message runel prints, its words written here once. A message is one line on standard
// error: the file it is about, where in it, and what went wrong, then what the run left at the
// result's name where that is not plain:
//
//     Runel_in.txt:5:4: 'o' is not a square symbol (+ * b B l L): expected 8 squares, found 7
//     Runel_out.txt: cannot write the result: Input/output error; the earlier result was removed
//
// The tests write the messages they expect out as literal text, so that a change of words here
// shows there, and check that the manual page shows every message in this table.

#include "left_behind.h"

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

enum class Message {
    cannot_open, // the board file
    cannot_read,
    file_is_empty,
    too_few_lines,
    wrong_square_count,
    not_a_square,
    no_line_end,
    cannot_write, // the result file
    refused_by_folder,
    refused_by_file,
    out_of_memory,
    needs_bytes,
    needs_more_than,
    internal_error,
    left_earlier_kept, // what a failed run left at the result's name
    left_earlier_removed,
    left_part_written,
    left_emptied,
    left_new_result,
    moved_aside,
    left_aside_kept,
};

struct MessageText {
    Message message;
    /// The words, with {} where a value goes.
    std::string_view words;
};

inline constexpr MessageText kMessages[] = {
    { Message::cannot_open, "cannot open: {}" },
    { Message::cannot_read, "cannot read: {}" },
    { Message::file_is_empty, "the file is empty" },
    { Message::too_few_lines, "expected 8 board lines after the header, found {}" },
    { Message::wrong_square_count, "expected 8 squares, found {}" },
    { Message::not_a_square, "{} is not a square symbol (+ * b B l L)" },
    { Message::no_line_end, "expected a line end within {} bytes" },
    { Message::cannot_write, "cannot write the result: {}" },
    { Message::refused_by_folder, "refused by the folder" },
    { Message::refused_by_file, "refused by the file" },
    { Message::out_of_memory, "out of memory" },
    { Message::needs_bytes, "the result needs {} bytes; no room for it on this file system" },
    { Message::needs_more_than,
        "the result needs more than {} bytes (the count stopped there); this file system has {} "
        "bytes free" },
    { Message::internal_error, "internal error: {}" },
    { Message::left_earlier_kept, "the earlier result is kept" },
    { Message::left_earlier_removed, "the earlier result was removed" },
    { Message::left_part_written, "Runel_out.txt holds part of the new result" },
    { Message::left_emptied, "Runel_out.txt is left empty" },
    { Message::left_new_result, "the new result is in place, but may not survive a power failure" },
    { Message::moved_aside, "a file put at the result's name meanwhile is kept, as " },
    { Message::left_aside_kept, "a file left aside by a run that was stopped is kept, as " },
};

// A message's place in the table is its number, so that a signal handler can find its words.
constexpr bool kMessagesInOrder = [] {
    for (std::size_t i = 0; i < std::size(kMessages); ++i)
        if (static_cast<std::size_t>(kMessages[i].message) != i) return false;
    return true;
}();
static_assert(kMessagesInOrder);

/// The words of `message` with `values` in its {} places, in order.
std::string words_of(Message message, std::initializer_list<std::string_view> values = {});

/// What a failed run left at the result's name, as the end of its message: "" where there is
/// nothing to say, else "; " and the words.
std::string left_words(LeftBehind left);
