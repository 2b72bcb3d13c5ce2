#pragma once

#include "state.h"

#include <cstdint>

/// What the tables that remember a state's suffix (the writer's suffix cache, the count's memo)
/// know a state by: its occupied squares and the king's square. The enemy pieces follow from
/// them within one search, since no piece but the king ever moves and pieces only leave the
/// board: an occupied square other than the king's holds the piece it held at the start. So the
/// tables neither keep nor compare them.
struct StateKey {
    Mask occupied = 0;
    Square king = 0;
    friend bool operator==(const StateKey&, const StateKey&) = default;
};

inline StateKey key_of(const State& state)
{
    return { state.occupied, state.king };
}

/// The key's 64 bits mixed so that every bit of it moves the high ones, where the tables take
/// their bucket from.
inline std::uint64_t hash_of(const StateKey& key)
{
    std::uint64_t x = key.occupied + static_cast<std::uint64_t>(key.king) * 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 33)) * 0xff51afd7ed558ccdULL;
    x = (x ^ (x >> 33)) * 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}
