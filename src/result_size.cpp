#include "result_size.h"

#include "builtins.h"
#include "search.h"
#include "state_key.h"
#include "text_mode.h"
#include "zeroed_array.h"

#include <algorithm>
#include <bit>
#include <new>

namespace {

// A state met before and what the search from it appends: the length, the square it ends on,
// and what working it out cost, in one word.
struct Entry {
    Mask occupied; // with the king's square, the state's key; 0 marks a free entry
    std::uint64_t packed; // length << 20 | cost << 12 | last << 6 | king
};

constexpr int kWays = 4;
// A state's entry lies in one bucket of kWays, 64 bytes: one cache line, as blocks of 2 MB or more
// start on a huge page (memory.h), so that a lookup waits on memory once.
struct Bucket {
    Entry ways[kWays];
};

// Longer suffixes are not kept (they do not fit the packing); such states are searched again.
constexpr std::uint64_t kLongestKept = (std::uint64_t { 1 } << 44) - 1;
// The memo starts at this and doubles as it fills, up to its limit, so that a short count takes
// little memory.
constexpr std::uint64_t kFirstMemoBytes = std::uint64_t { 4 } << 20;
// How often, in states visited, the watch is asked.
constexpr unsigned kVisitsPerWatch = 1 << 14;

// The states whose suffixes are known, within a fixed limit. When a bucket is full, the entry
// that cost the fewest visits to work out gives way: it is the cheapest to work out again.
class Memo {
public:
    explicit Memo(std::uint64_t memory_bytes)
        : most_buckets_(memory_bytes / sizeof(Bucket))
    {
        resize(std::min(most_buckets_, kFirstMemoBytes / sizeof(Bucket)));
    }

    const Entry* find(const State& state, std::uint64_t hash) const
    {
        if (buckets_ == 0) return nullptr;
        const Bucket& bucket = at(hash);
        for (const Entry& entry : bucket.ways) {
            if (key_in(entry) == key_of(state)) return &entry;
        }
        return nullptr;
    }

    void prefetch(std::uint64_t hash) const
    {
        if (buckets_ != 0) ::prefetch(&at(hash));
    }

    void store(const State& state, std::uint64_t hash, const Suffix& suffix, std::uint64_t visits)
    {
        if (buckets_ == 0 || suffix.length > kLongestKept) return;
        const std::uint64_t cost = static_cast<std::uint64_t>(std::bit_width(visits));
        const Entry entry { state.occupied,
            suffix.length << 20 | cost << 12 | static_cast<std::uint64_t>(suffix.last) << 6
                | static_cast<std::uint64_t>(state.king) };
        Bucket& bucket = at(hash);
        Entry* cheapest = &bucket.ways[0];
        for (Entry& way : bucket.ways) {
            if (way.occupied == 0) {
                way = entry;
                if (++filled_ > buckets_ * kWays / 4 * 3) grow();
                return;
            }
            if (cost_of(way) < cost_of(*cheapest)) cheapest = &way;
        }
        *cheapest = entry;
    }

    static Suffix suffix_of(const Entry& entry)
    {
        return { entry.packed >> 20, static_cast<Square>((entry.packed >> 6) & 63) };
    }

private:
    static StateKey key_in(const Entry& entry)
    {
        return { entry.occupied, static_cast<Square>(entry.packed & 63) };
    }
    static std::uint64_t cost_of(const Entry& entry) { return (entry.packed >> 12) & 0xff; }

    Bucket& at(std::uint64_t hash) const { return memory_[multiply_high(hash, buckets_)]; }

    // Moves the entries into an array of `buckets`; false, keeping the old one, where the
    // system has no memory to give.
    bool resize(std::uint64_t buckets)
    {
        ZeroedArray<Bucket> bigger(static_cast<std::size_t>(buckets));
        if (!bigger) return false;
        ZeroedArray<Bucket> old = std::move(memory_);
        const std::uint64_t old_buckets = buckets_;
        memory_ = std::move(bigger);
        buckets_ = buckets;
        filled_ = 0;
        for (std::uint64_t i = 0; i < old_buckets; ++i) {
            for (const Entry& entry : old[i].ways) {
                if (entry.occupied == 0) continue;
                Entry* free = nullptr;
                for (Entry& way : at(hash_of(key_in(entry))).ways) {
                    if (way.occupied == 0) {
                        free = &way;
                        break;
                    }
                }
                // An entry that finds its bucket full is forgotten, as a store would forget it.
                if (free == nullptr) continue;
                *free = entry;
                ++filled_;
            }
        }
        return true;
    }

    void grow()
    {
        if (buckets_ >= most_buckets_) return;
        if (!resize(std::min(most_buckets_, buckets_ * 2))) most_buckets_ = buckets_;
    }

    std::uint64_t most_buckets_;
    std::uint64_t buckets_ = 0;
    std::uint64_t filled_ = 0;
    ZeroedArray<Bucket> memory_;
};

struct Stopped { };

// The search with the length of its text in place of the text: the same captures, in the same
// order, with what it appends from a state met before taken from the memo. At every moment the
// length so far is what the search would have written so far, and the text only grows.
class Count : public TextLength {
public:
    Count(Square king, Memo& memo, const CountWatch& watch)
        : TextLength(king)
        , memo_(memo)
        , watch_(watch)
    {
    }

    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        ++visits_;
        if (--until_watch_ == 0) look_in();
        if (!worth_remembering(next)) return extend(next, *this);
        const std::uint64_t hash = hash_of(key_of(next));
        if (const Entry* known = memo_.find(next, hash))
            return append_known(Memo::suffix_of(*known));
        const std::uint64_t start = length_;
        const std::uint64_t visits = visits_;
        const bool captured = extend(next, *this);
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
    void look_in()
    {
        until_watch_ = kVisitsPerWatch;
        // Between two looks the text grows by at most kVisitsPerWatch suffixes of the memo,
        // each shorter than kLongestKept: the sum cannot wrap around.
        if (length_ > kLongestCountedText || !watch_(length_)) throw Stopped {};
    }

    std::uint64_t visits_ = 0;
    unsigned until_watch_ = kVisitsPerWatch;
    Memo& memo_;
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
    Memo memo(memory_bytes);
    Count count(start.king, memo, watch);
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
