#pragma once

#include "state.h"
#include "walk.h"

#include <cstdint>
#include <functional>
#include <optional>

/// The size of the result file, known before all of it is written.
struct ResultSize {
    bool captured = false; // false: the file says "No"
    std::uint64_t text_length = 0; // length of the settled path text (every line has it)
    unsigned line_digits = 0; // the lines' last digits (line_digits in walk.h)
    /// Bytes of the result file.
    std::uint64_t file_bytes() const;
};

/// Asked now and then while the count runs, with a number of bytes that the result file
/// certainly passes; returns false to stop the count.
using CountWatch = std::function<bool(std::uint64_t passed)>;

/// Texts longer than this are not counted to the end: no file system holds them.
inline constexpr std::uint64_t kLongestCountedText = std::uint64_t { 1 } << 52;

/// Counts the result's bytes from `start` without producing text, in the search's own order:
/// the text it would have written so far is what `watch` is told. States met again are taken
/// from a memo of at most `memory_bytes`, which forgets the entries that were cheapest to work
/// out when it is full; less memory costs time, never the count. Returns the exact size, or
/// nothing if `watch` stopped the count (always, past kLongestCountedText).
std::optional<ResultSize> count_result(
    const State& start, std::uint64_t memory_bytes, const CountWatch& watch);
