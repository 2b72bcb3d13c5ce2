#include "search.h"

#include "suffix_cache.h"
#include "text_mode.h"
#include "walk.h"

#include <algorithm>

namespace {

// A suffix met before that is no longer in memory is searched again unless it is this long:
// reading it back costs a call into the system.
constexpr std::uint64_t kShortestReadBack = 256;
// States this many captures below the start, and at least kFewPieces enemy pieces, are searched
// again rather than looked up: on most heavy boards their searches are shorter than a lookup's
// wait on memory. At most this many enemy pieces are searched again so.
constexpr int kCapturesBeforeLookups = 10;
constexpr int kMostPiecesToSearch = 8;
// Boards differ in where that border pays, so it moves, between kFewPieces and where it started,
// by the texts written near it, weighed this many at a time: a lookup pays where the text it
// spares the search is about this long or longer.
constexpr std::uint64_t kTextsWeighed = 4096;
constexpr std::uint64_t kWorthALookup = 192;

// Writes the text of a search that looks nothing up, once the text has started: all but its
// last character, the rank digit of last_square(), which a later capture may still replace.
class PlainText {
public:
    PlainText(Appender& out, Square last)
        : out_(out)
        , last_(last)
    {
    }
    Square last_square() const { return last_; }
    void replace_rank(Square landing) { last_ = landing; }
    void restore(Square square) { last_ = square; }
    void append_square(Square landing)
    {
        out_.append(rank_char(last_), ':', file_char(landing));
        last_ = landing;
    }
    bool descend(const State& next) { return enemy_on_lines(next) && extend(next, *this); }

protected:
    Appender& out_;
    Square last_;
};

// Writes the text as the search grows it, and copies what it finds in its cache. Everything
// before the last character is final once written.
class TextWriter : public PlainText {
public:
    TextWriter(Appender& out, const State& start, bool may_copy)
        : PlainText(out, start.king)
        // Where the output cannot be read back, every state is searched again.
        , few_to_search_(may_copy ? std::clamp(squares_in(start.enemy) - kCapturesBeforeLookups,
                             kFewPieces, kMostPiecesToSearch)
                                  : kBoardSize * kBoardSize)
        , most_to_search_(few_to_search_)
        , king_(start.king)
    {
    }

    void append_square(Square landing)
    {
        // The text starts with the king's square, written only once there is a capture.
        if (!started_) {
            out_.append(file_char(king_));
            started_ = true;
        }
        PlainText::append_square(landing);
    }

    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        // Every state below one searched again has fewer pieces still: none is looked up.
        const int pieces = squares_in(next.enemy);
        const std::uint64_t start = out_.size();
        const bool captured = pieces <= few_to_search_
            ? extend(next, static_cast<PlainText&>(*this))
            : look_up(next);
        const int above_border = pieces - few_to_search_;
        if (above_border == 0 || (above_border == 1 && few_to_search_ < most_to_search_))
            weigh(above_border, out_.size() - start);
        return captured;
    }

    /// Starts loading the cache's buckets of the states after `state` that will be looked up.
    void prefetch_next(const State& state) const
    {
        if (squares_in(state.enemy) <= few_to_search_ + 1) return;
        for_each_capture(state, [this](Square, const State& next) { cache_.prefetch(next); });
    }

    char held() const { return rank_char(last_); }
    // Length of the text so far, the held character included.
    std::uint64_t text_length() const { return out_.size() + 1; }

private:
    bool look_up(const State& next)
    {
        const SuffixCache::Entry* known = cache_.find(next);
        if (known != nullptr
            && (out_.in_memory(known->offset)
                || unpacked_suffix(known->packed).length >= kShortestReadBack)) {
            // All of the suffix but its last character, which a caller may have replaced since
            // it was written; the entry keeps the square the suffix ended on.
            out_.append(held());
            const Suffix suffix = unpacked_suffix(known->packed);
            out_.append_copy(known->offset, suffix.length - 1);
            last_ = suffix.last;
            return true;
        }
        const std::uint64_t start = text_length();
        const bool captured = extend(next, *this);
        const std::uint64_t length = text_length() - start;
        if (length >= SuffixCache::kMinLength) cache_.store(next, start, length, last_);
        return captured;
    }

    // What states on either side of the border write: those with few_to_search_ pieces, the
    // most that are searched again (side 0), and those with one more, the fewest looked up
    // (side 1). A lookup pays where the text is long: the border moves down where the texts
    // searched again come out long, and back up where those looked up come out short.
    void weigh(int side, std::uint64_t written)
    {
        bytes_[side] += written;
        if (++texts_[side] < kTextsWeighed) return;
        const std::uint64_t worth = kTextsWeighed * kWorthALookup;
        const int was = few_to_search_;
        if (side == 0 && bytes_[0] > worth && few_to_search_ > kFewPieces) --few_to_search_;
        if (side == 1 && bytes_[1] < worth / 2) ++few_to_search_;
        bytes_[side] = texts_[side] = 0;
        // Once the border moves, each side holds other states.
        if (few_to_search_ != was) bytes_[0] = bytes_[1] = texts_[0] = texts_[1] = 0;
    }

    int few_to_search_; // states with this many enemy pieces or fewer are searched again
    int most_to_search_; // few_to_search_ at the start: its most
    Square king_;
    bool started_ = false;
    std::uint64_t bytes_[2] = {}; // what weigh() has weighed on each side
    std::uint64_t texts_[2] = {};
    SuffixCache cache_;
};

} // namespace

std::uint64_t write_captures(const State& start, Storage& storage)
{
    Appender out(storage);
    const bool may_copy = storage.random_access();
    TextWriter text(out, start, may_copy);
    Alternatives alternatives;
    if (!extend(start, text, &alternatives)) {
        out.append(kNoCapture.data(), kNoCapture.size());
        out.flush();
        return out.size();
    }
    // Every settled text is the adopted one with some last digit: one line per digit, in
    // ascending order. The first line is already written but for its last digit; the others
    // copy it, or, where the output cannot be read back, write it again.
    const std::uint64_t prefix = text.text_length() - 1;
    const unsigned digits = line_digits(alternatives, text.last_square());
    bool first = true;
    for (int digit = 1; digit <= 8; ++digit) {
        if (!(digits & (1U << digit))) continue;
        if (!first && may_copy) {
            out.append_copy(0, prefix);
        } else if (!first) {
            TextWriter again(out, start, false);
            extend(start, again);
        }
        out.append(static_cast<char>('0' + digit));
        out.append(kLineEnd.data(), kLineEnd.size());
        first = false;
    }
    out.flush();
    return out.size();
}
