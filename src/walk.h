#pragma once

#include "captures.h"

#include <cstdint>

/// The rank digits of the texts that the top-level search settled beside its adopted text since
/// it last adopted one: each is the adopted text with its last digit replaced.
struct Alternatives {
    unsigned ranks = 0; // bit d set: the adopted text with last digit '0' + d
};

/// The last rank digits of the result's lines, one line per digit set, in ascending order: the
/// adopted text's own (`last`, the square it ends on) and those settled beside it. The search
/// writes these lines and the count sizes the file by them, and the reservation holds the
/// stream to that size to the byte: so both take them from here. (A digit settled beside is one
/// rank from the adopted text's own, never the same: there is one line more than digits settled
/// beside. Nothing here leans on that.)
inline unsigned line_digits(const Alternatives& beside, Square last)
{
    return beside.ranks | 1U << (rank_char(last) - '0');
}

/// What the search from one state appends to the text: its length, and the square it ends on.
struct Suffix {
    std::uint64_t length = 0;
    Square last = 0;
};

/// The length and last square of a text as the search grows it, without the text: what a count
/// follows. Its `descend` is the counter's own.
class TextLength {
public:
    explicit TextLength(Square king)
        : last_(king)
    {
    }
    Square last_square() const { return last_; }
    void replace_rank(Square landing) { last_ = landing; }
    void restore(Square square) { last_ = square; }
    void append_square(Square landing)
    {
        length_ += 3;
        last_ = landing;
    }
    /// The text's length so far, its first square included.
    std::uint64_t length() const { return length_; }

protected:
    /// Appends a suffix known from before; false if it is empty, as the search from its state
    /// captured nothing.
    bool append_known(const Suffix& suffix)
    {
        length_ += suffix.length;
        if (suffix.length != 0) last_ = suffix.last;
        return suffix.length != 0;
    }

    std::uint64_t length_ = 2; // the king's square, which the first capture writes
    Square last_;
};

/// States with this many enemy pieces or fewer have searches so small that searching them again
/// is cheaper than looking them up; leaving them out of tables also keeps the tables small.
inline constexpr int kFewPieces = 4;

inline bool worth_remembering(const State& state)
{
    return more_than(state.enemy, kFewPieces);
}

/// replaces_last_rank for squares: one rank away on the same file is eight squares away.
inline bool replaces_last_rank(Square last, Square landing)
{
    return last - landing == 8 || landing - last == 8;
}

// How the search's text grows, stated once for everything that follows it (the text itself, or
// only its length).
//
// A search call keeps one text that is both what its captures extend and the best it has seen.
// It arrives ending with the king's square, and every capture the call makes either
//  - adds ":landing", and whatever the recursion from there appends is kept; or
//  - when the landing is one rank away on the file the text ends on, replaces the last rank
//    digit. If the recursion from there captures nothing, the replaced text is no longer than
//    the kept one, so it is not kept (at the top level it is settled beside it); if it captures
//    anything, the replaced text plus its continuation is kept.
// What a call appends therefore depends only on its state, never on the text it was handed: its
// first capture always adds a square (a replacement would need a landing next to the king on
// its own file, and a captured piece always stands between).
//
// `Out` follows the text: last_square(), append_square(landing), replace_rank(landing),
// restore(square) to undo a replacement, and descend(next) to append what the search from
// `next` appends, returning whether it captured anything. It may have prefetch_next(state), to
// start loading what it knows of the states after `state` before they are followed.
// The top level's bookkeeping (`kTopLevel`) is chosen when compiling: every capture below the
// top skips it.
template <bool kTopLevel, class Out>
bool extend_text(const State& state, Out& out, Alternatives* top_level)
{
    if constexpr (requires { out.prefetch_next(state); }) out.prefetch_next(state);
    bool captured = false;
    for_each_capture(state, [&](Square landing, const State& next) {
        captured = true;
        bool kept = true;
        const Square last = out.last_square();
        if (replaces_last_rank(last, landing)) {
            out.replace_rank(landing);
            if (!out.descend(next)) {
                out.restore(last);
                kept = false;
            }
        } else {
            out.append_square(landing);
            out.descend(next);
        }
        if constexpr (kTopLevel) {
            if (kept)
                top_level->ranks = 0;
            else
                top_level->ranks |= 1U << (rank_char(landing) - '0');
        }
    });
    return captured;
}

template <class Out> bool extend(const State& state, Out& out)
{
    return extend_text<false>(state, out, nullptr);
}

/// At the top level: also settles in `top_level` the texts found beside the adopted one.
template <class Out> bool extend(const State& state, Out& out, Alternatives* top_level)
{
    return extend_text<true>(state, out, top_level);
}
