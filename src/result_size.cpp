#include "result_size.h"

#include "count_memo.h"
#include "search.h"
#include "state_key.h"
#include "text_mode.h"

#include <algorithm>
#include <bit>

namespace {

// How often, in states visited, the watch is asked and the bound looks ahead.
constexpr unsigned kVisitsPerWatch = 1 << 14;
// How often, in watches, the memo weighs the room again while it does not grow: other
// processes, or a lowered limit, may take it. Counted in work, not time, as everything the count
// does: what it finds never depends on how fast the machine is.
constexpr unsigned kWatchesPerRoomLook = 4;
// The deepest the search goes: every capture takes an enemy piece.
constexpr int kDeepest = 64;

struct Stopped { };

// The search with the length of its text in place of the text: the same captures, in the same
// order, with what it appends from a state met before taken from the memo. At every moment the
// length so far is what the search would have written so far, and the text only grows.
class Count : public TextLength {
public:
    Count(const State& start, CountMemo& memo, const CountWatch& watch)
        : TextLength(start.king)
        , memo_(memo)
        , watch_(watch)
    {
        path_[0] = { start, 0 };
    }

    bool descend(const State& next)
    {
        ++path_[depth_].taken;
        if (!enemy_on_lines(next)) return false;
        ++visits_;
        if (--until_watch_ == 0) look_in();
        if (!worth_remembering(next)) return search_from(next);
        const std::uint64_t hash = hash_of(key_of(next));
        if (const std::optional<Suffix> known = memo_.find(next, hash)) return append_known(*known);
        const std::uint64_t start = length_;
        const std::uint64_t visits = visits_;
        const bool captured = search_from(next);
        memo_.store(next, hash, { length_ - start, last_ }, visits_ - visits);
        return captured;
    }

    /// Starts loading the memo's buckets of the states after `state`.
    void prefetch_next(const State& state) const
    {
        if (!more_than(state.enemy, kFewPieces + 1)) return;
        for_each_capture(state, [this](Square, const State& next) {
            if (worth_remembering(next)) memo_.prefetch(hash_of(key_of(next)));
        });
    }

private:
    // A state on the way down from the start, and how many of its captures have been taken up.
    struct Step {
        State state;
        int taken;
    };

    bool search_from(const State& next)
    {
        path_[++depth_] = { next, 0 };
        const bool captured = extend(next, *this);
        --depth_;
        return captured;
    }

    // The length so far and a look ahead: every capture not yet taken up on the way down will
    // append at least what its state appends (a replaced last digit appends that or nothing,
    // and then its state appends nothing), which the memo may know already. A length the text
    // certainly reaches, often far sooner than the search; the most seen, as the memo may have
    // forgotten since what it knew at an earlier look.
    std::uint64_t length_ahead()
    {
        std::uint64_t ahead = length_;
        for (int depth = 0; depth <= depth_; ++depth) {
            int capture = 0;
            for_each_capture(path_[depth].state, [&](Square, const State& next) {
                if (capture++ < path_[depth].taken || !worth_remembering(next)) return;
                if (const std::optional<Suffix> known = memo_.find(next, hash_of(key_of(next))))
                    ahead += known->length;
            });
        }
        most_ahead_ = std::max(most_ahead_, ahead);
        return most_ahead_;
    }

    void look_in()
    {
        until_watch_ = kVisitsPerWatch;
        // Between two looks the text grows by at most kVisitsPerWatch suffixes of the memo, and
        // a look ahead adds a few thousand more at most, each shorter than 2^44: the sums cannot
        // wrap around.
        if (length_ > kLongestCountedText || !watch_(length_ahead())) throw Stopped {};
        if (--until_room_look_ > 0) return;
        until_room_look_ = kWatchesPerRoomLook;
        memo_.fit_room();
    }

    std::uint64_t visits_ = 0;
    std::uint64_t most_ahead_ = 0;
    unsigned until_watch_ = kVisitsPerWatch;
    unsigned until_room_look_ = kWatchesPerRoomLook;
    Step path_[kDeepest + 1];
    int depth_ = 0;
    CountMemo& memo_;
    const CountWatch& watch_;
};

} // namespace

std::uint64_t ResultSize::file_bytes() const
{
    if (!captured) return kNoCapture.size();
    const auto lines = static_cast<std::uint64_t>(std::popcount(line_digits));
    return lines * (text_length + kLineEnd.size());
}

std::optional<ResultSize> count_result(
    const State& start, std::uint64_t memory_bytes, const CountWatch& watch)
{
    CountMemo memo(memory_bytes);
    Count count(start, memo, watch);
    ResultSize size;
    Alternatives alternatives;
    try {
        size.captured = extend(start, count, &alternatives);
    } catch (const Stopped&) {
        return std::nullopt;
    }
    if (count.length() > kLongestCountedText) return std::nullopt;
    size.text_length = size.captured ? count.length() : 0;
    size.line_digits = line_digits(alternatives, count.last_square());
    return size;
}
