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
// again rather than looked up: on the heavy boards their searches are shorter than a lookup's
// wait on memory. At most this many enemy pieces are searched again so.
constexpr int kCapturesBeforeLookups = 10;
constexpr int kMostPiecesToSearch = 8;

// Writes the text of a search that looks nothing up: the text has started, and only the square
// it ends on is kept, the last character of the output still to come.
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

private:
    Appender& out_;
    Square last_;
};

// Writes the text as the search grows it. The last character is held back: a later capture may
// still replace that rank digit. Everything before it is final once written.
class TextWriter {
public:
    TextWriter(Appender& out, const State& start, bool may_copy)
        : out_(out)
        , may_copy_(may_copy)
        , few_to_search_(std::clamp(
              squares_in(start.enemy) - kCapturesBeforeLookups, kFewPieces, kMostPiecesToSearch))
        , king_(start.king)
        , last_(start.king)
        , held_(rank_char(start.king))
    {
    }

    Square last_square() const { return last_; }
    void replace_rank(Square landing) { hold(landing); }
    void restore(Square square) { hold(square); }

    void append_square(Square landing)
    {
        // The text starts with the king's square, written only once there is a capture.
        if (!started_) {
            out_.append(file_char(king_));
            started_ = true;
        }
        out_.append(held_, ':', file_char(landing));
        hold(landing);
    }

    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        if (!may_copy_ || squares_in(next.enemy) <= few_to_search_) {
            // Every state below has fewer pieces still: none is looked up.
            PlainText plain(out_, last_);
            const bool captured = extend(next, plain);
            hold(plain.last_square());
            return captured;
        }
        const SuffixCache::Entry* known = cache_.find(next);
        if (known != nullptr
            && (out_.in_memory(known->offset)
                || unpacked_suffix(known->packed).length >= kShortestReadBack)) {
            // All of the suffix but its last character, which a caller may have replaced since
            // it was written; the entry keeps the square the suffix ended on.
            out_.append(held_);
            const Suffix suffix = unpacked_suffix(known->packed);
            out_.append_copy(known->offset, suffix.length - 1);
            hold(suffix.last);
            return true;
        }
        const std::uint64_t start = text_length();
        const bool captured = extend(next, *this);
        const std::uint64_t length = text_length() - start;
        if (length >= SuffixCache::kMinLength) cache_.store(next, start, length, last_);
        return captured;
    }

    char held() const { return held_; }
    // Length of the text so far, the held character included.
    std::uint64_t text_length() const { return out_.size() + 1; }

private:
    void hold(Square square)
    {
        last_ = square;
        held_ = rank_char(square);
    }

    Appender& out_;
    bool may_copy_; // the output can be read back
    int few_to_search_; // states with this many enemy pieces or fewer are searched again
    Square king_;
    Square last_;
    char held_;
    bool started_ = false;
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
    const unsigned digits = alternatives.ranks | 1U << (text.held() - '0');
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
