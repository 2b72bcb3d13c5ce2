#pragma once

#include "builtins.h"
#include "memory.h"
#include "memory_room.h"
#include "state_key.h"
#include "walk.h"
#include "zeroed_array.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>

/// The states a size count has met and what the search from each appends, within a limit and a
/// share of the memory there is. When a bucket is full, the entry that cost the fewest visits to
/// work out gives way: it is the cheapest to work out again. Its pages are taken at once as it
/// grows, so that the room other runs see is the room there is; when the room falls short, the
/// memo halves and gives the rest back, forgetting the cheapest entries. Less memory costs the
/// count time, never its result.
class CountMemo {
    // A state met before and what the search from it appends: the length, the square it ends
    // on, and what working it out cost, in one word.
    struct Entry {
        Mask occupied; // with the king's square, the state's key; 0 marks a free entry
        std::uint64_t packed; // length << 20 | cost << 12 | last << 6 | king
    };
    static constexpr int kWays = 4;
    // A state's entry lies in one bucket of kWays, 64 bytes: one cache line, as blocks of 2 MB or
    // more start on a huge page (memory.h), so that a lookup waits on memory once.
    struct Bucket {
        Entry ways[kWays];
    };

public:
    /// Where the memo learns the memory there is: the system's, or a test's.
    using RoomLook = std::uint64_t (*)();
    /// What the rest of the run needs beside the memo: the writer's buffers and caches, and the
    /// first of the result where it is kept in memory. The memo gives back what falls short.
    static constexpr std::uint64_t kLeftForTheRest = memory_reserve::kBesideTheMemo;
    /// The memo starts at this and doubles as it fills, up to its limit, so that a short count
    /// takes little memory.
    static constexpr std::uint64_t kFirstBytes = std::uint64_t { 4 } << 20;

    /// A memo of at most `memory_bytes`.
    explicit CountMemo(std::uint64_t memory_bytes, RoomLook room = available_memory)
        : most_buckets_(memory_bytes / sizeof(Bucket))
        , room_(room)
    {
        start_within(room_());
    }

    /// The bytes the memo holds now.
    std::uint64_t bytes() const { return buckets_ * sizeof(Bucket); }

    /// What the search from `state` appends, where known.
    std::optional<Suffix> find(const State& state, std::uint64_t hash) const
    {
        if (buckets_ == 0) return std::nullopt;
        for (const Entry& entry : at(hash).ways) {
            if (key_in(entry) == key_of(state))
                return Suffix { entry.packed >> 20, static_cast<Square>((entry.packed >> 6) & 63) };
        }
        return std::nullopt;
    }

    void prefetch(std::uint64_t hash) const
    {
        if (buckets_ != 0) ::prefetch(&at(hash));
    }

    /// Keeps what the search from `state` appends, which took `visits` to work out.
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

    /// Weighs the memory there is now: halves the memo until what is left and what the halvings
    /// gave back leave the rest of the run kLeftForTheRest, or lets it grow again.
    void fit_room()
    {
        std::uint64_t room = room_();
        while (buckets_ > 0 && room < kLeftForTheRest) {
            const std::uint64_t before = bytes();
            halve();
            room += before - bytes();
        }
        may_grow_ = true;
        if (buckets_ == 0) start_within(room);
    }

private:
    // Longer suffixes are not kept (they do not fit the packing); such states are searched again.
    static constexpr std::uint64_t kLongestKept = (std::uint64_t { 1 } << 44) - 1;
    // A memo smaller than this is not worth its lookups.
    static constexpr std::uint64_t kFewestBuckets = 1024;
    // A new array takes no more than this share of the room there is, so that runs sharing a
    // limit that grow at the same moment, each seeing the same room, stay below it together.
    static constexpr std::uint64_t kShareOfTheRoom = 4;
    // A growing memo takes its pages this many bytes at a time, weighing the room between.
    static constexpr std::uint64_t kPagesTakenAtOnce = std::uint64_t { 4 } << 20;

    static StateKey key_in(const Entry& entry)
    {
        return { entry.occupied, static_cast<Square>(entry.packed & 63) };
    }
    static std::uint64_t cost_of(const Entry& entry) { return (entry.packed >> 12) & 0xff; }

    // What a new array may take, of `room` bytes of memory.
    static std::uint64_t share_of(std::uint64_t room)
    {
        return room > kLeftForTheRest ? (room - kLeftForTheRest) / kShareOfTheRoom : 0;
    }

    void start_within(std::uint64_t room)
    {
        const std::uint64_t first = std::min(
            { most_buckets_, kFirstBytes / sizeof(Bucket), share_of(room) / sizeof(Bucket) });
        if (first >= kFewestBuckets) resize(first);
    }

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
    bool take_pages(const ZeroedArray<Bucket>& array, std::uint64_t buckets) const
    {
        constexpr std::uint64_t kStep = kPagesTakenAtOnce / sizeof(Bucket);
        for (std::uint64_t from = 0; from < buckets; from += kStep) {
            if (from > 0 && room_() < kLeftForTheRest) return false;
            array.touch_pages(static_cast<std::size_t>(from),
                static_cast<std::size_t>(std::min(buckets, from + kStep)));
        }
        return true;
    }

    // Halves the array where it lies, without a second one: under the smaller size every entry's
    // bucket is at or before the one it leaves, so a walk upwards moves each into a bucket
    // already emptied. Too small to halve, it goes.
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
        may_grow_ = wanted * sizeof(Bucket) <= share_of(room_()) && resize(wanted);
    }

    std::uint64_t most_buckets_;
    RoomLook room_;
    std::uint64_t buckets_ = 0;
    std::uint64_t filled_ = 0;
    bool may_grow_ = true;
    ZeroedArray<Bucket> memory_;
};
