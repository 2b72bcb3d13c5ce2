#include "result_size.h"

#include "builtins.h"
#include "memory.h"
#include "memory_room.h"
#include "search.h"
#include "state_key.h"
#include "text_mode.h"
#include "zeroed_array.h"

#include <algorithm>
#include <bit>
#include <chrono>
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
// A memo smaller than this is not worth its lookups.
constexpr std::uint64_t kFewestBuckets = 1024;
// What the rest of the run needs beside the memo: the writer's buffers and caches, and the first
// of the result where it is kept in memory.
constexpr std::uint64_t kLeftForTheRest = memory_reserve::kBesideTheMemo;
// A new array takes no more than this share of the room there is, so that runs sharing a limit
// that grow at the same moment, each seeing the same room, stay below it together.
constexpr std::uint64_t kShareOfTheRoom = 4;
// A growing memo takes its pages this many bytes at a time, weighing the room between.
constexpr std::uint64_t kPagesTakenAtOnce = std::uint64_t { 4 } << 20;
// How often, in states visited, the watch is asked.
constexpr unsigned kVisitsPerWatch = 1 << 14;
// How often the memo weighs the room again while it does not grow: other processes, or a
// lowered limit, may take it.
constexpr auto kRoomLookEvery = std::chrono::milliseconds(20);

// What a new array of the memo may take, of `room` bytes of memory.
std::uint64_t memo_share_of(std::uint64_t room)
{
    return room > kLeftForTheRest ? (room - kLeftForTheRest) / kShareOfTheRoom : 0;
}

// The states whose suffixes are known, within a limit and a share of the memory there is. When
// a bucket is full, the entry that cost the fewest visits to work out gives way: it is the
// cheapest to work out again. Its pages are taken at once as it grows, so that the room other
// runs see is the room there is; when the room falls short, the memo halves and gives the rest
// back, forgetting the cheapest entries.
class Memo {
public:
    explicit Memo(std::uint64_t memory_bytes)
        : most_buckets_(memory_bytes / sizeof(Bucket))
    {
        const std::uint64_t first = std::min({ most_buckets_, kFirstMemoBytes / sizeof(Bucket),
            memo_share_of(available_memory()) / sizeof(Bucket) });
        if (first >= kFewestBuckets) resize(first);
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
        if (keep({ state.occupied,
                     suffix.length << 20 | cost << 12 | static_cast<std::uint64_t>(suffix.last) << 6
                         | static_cast<std::uint64_t>(state.king) },
                hash, true)
            && filled_ > buckets_ * kWays / 4 * 3)
            grow();
    }

    /// Weighs the memory there is now: halves the memo while what is left falls short, or lets
    /// it grow again.
    void fit_room()
    {
        std::uint64_t room = available_memory();
        while (buckets_ > 0 && room < kLeftForTheRest) {
            room += buckets_ * sizeof(Bucket) / 2;
            halve();
        }
        may_grow_ = true;
        if (buckets_ == 0) {
            const std::uint64_t first = std::min({ most_buckets_, kFirstMemoBytes / sizeof(Bucket),
                memo_share_of(room) / sizeof(Bucket) });
            if (first >= kFewestBuckets) resize(first);
        }
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

    // Puts `entry` in its bucket, where a full one gives up its cheapest entry: for a `fresh`
    // one, always (it is the one the search is about to need), else only where it is the
    // cheaper. True if it took a free way.
    bool keep(const Entry& entry, std::uint64_t hash, bool fresh)
    {
        Bucket& bucket = at(hash);
        Entry* cheapest = &bucket.ways[0];
        for (Entry& way : bucket.ways) {
            if (way.occupied == 0) {
                way = entry;
                ++filled_;
                return true;
            }
            if (cost_of(way) < cost_of(*cheapest)) cheapest = &way;
        }
        if (fresh || cost_of(*cheapest) <= cost_of(entry)) *cheapest = entry;
        return false;
    }

    // Moves the entries into an array of `buckets`; false, keeping the old one, where the
    // system has no memory to give.
    bool resize(std::uint64_t buckets)
    {
        ZeroedArray<Bucket> bigger(static_cast<std::size_t>(buckets));
        if (!bigger || !take_pages(bigger, buckets)) return false;
        ZeroedArray<Bucket> old = std::move(memory_);
        const std::uint64_t old_buckets = buckets_;
        memory_ = std::move(bigger);
        buckets_ = buckets;
        filled_ = 0;
        for (std::uint64_t i = 0; i < old_buckets; ++i) {
            for (const Entry& entry : old[i].ways) {
                if (entry.occupied != 0) keep(entry, hash_of(key_in(entry)), false);
            }
        }
        return true;
    }

    // Takes the pages of a new array of `buckets` a few megabytes at a time, weighing the room
    // before each: a limit lowered meanwhile ends the growth, not the process. False where the
    // room fell short.
    static bool take_pages(const ZeroedArray<Bucket>& array, std::uint64_t buckets)
    {
        constexpr std::uint64_t kStep = kPagesTakenAtOnce / sizeof(Bucket);
        for (std::uint64_t from = 0; from < buckets; from += kStep) {
            if (from > 0 && available_memory() < kLeftForTheRest) return false;
            array.touch_pages(static_cast<std::size_t>(from),
                static_cast<std::size_t>(std::min(buckets, from + kStep)));
        }
        return true;
    }

    // Halves the array where it lies, without a second one: under the smaller size every entry's
    // bucket is at or before the one it leaves, so a walk upwards moves each into a bucket
    // already emptied.
    void halve()
    {
        const std::uint64_t old_buckets = buckets_;
        if (old_buckets / 2 < kFewestBuckets) {
            memory_ = {};
            buckets_ = 0;
            filled_ = 0;
            return;
        }
        buckets_ = old_buckets / 2;
        filled_ = 0;
        for (std::uint64_t i = 0; i < old_buckets; ++i) {
            const Bucket leaving = memory_[i];
            memory_[i] = Bucket {};
            for (const Entry& entry : leaving.ways) {
                if (entry.occupied != 0) keep(entry, hash_of(key_in(entry)), false);
            }
        }
        memory_.shrink(static_cast<std::size_t>(buckets_));
    }

    void grow()
    {
        if (!may_grow_ || buckets_ >= most_buckets_) return;
        const std::uint64_t wanted = std::min(most_buckets_, buckets_ * 2);
        // Asked again only once the room has been weighed anew.
        may_grow_ = wanted * sizeof(Bucket) <= memo_share_of(available_memory()) && resize(wanted);
    }

    std::uint64_t most_buckets_;
    std::uint64_t buckets_ = 0;
    std::uint64_t filled_ = 0;
    bool may_grow_ = true;
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
        const auto now = std::chrono::steady_clock::now();
        if (now < next_room_look_) return;
        memo_.fit_room();
        next_room_look_ = now + kRoomLookEvery;
    }

    std::uint64_t visits_ = 0;
    unsigned until_watch_ = kVisitsPerWatch;
    std::chrono::steady_clock::time_point next_room_look_
        = std::chrono::steady_clock::now() + kRoomLookEvery;
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
