#pragma once

#include "state.h"
#include "state_table.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <vector>

/// The states met below a starting state, kept apart by their number of enemy pieces. Every
/// capture takes at least one enemy piece, so a state's successors all lie in layers below its
/// own: a layer can be worked through as a whole once the layers above it are done, and the
/// work on one state never waits on another of its layer. Each layer is cut by hash into as many
/// parts as there are threads to fill it, so that each part has one writer.
class StateLayers {
public:
    /// Whether the states of layer `enemies` are kept. Those of the layers below a point are
    /// not: what the search from one appends is short, and searching it again costs less than
    /// keeping it in a table far larger than the caches. Where that point lies depends on the
    /// board: sampled searches before the count say how low it may lie, and the sizes of the
    /// layers, as the count finds them from the top, whether it pays (see settle_kept).
    bool kept(int enemies) const { return enemies > fewest_kept(); }
    /// The most enemy pieces of a state not kept; 0 while every layer is kept.
    int fewest_kept() const { return fewest_kept_.load(std::memory_order_relaxed); }
    /// Called before the states of layer `enemies` are expanded, when they and those of the
    /// layer above are all known: decides whether the layers below it are kept. Those below are
    /// searched from each of their parents instead, so leaving them out pays only where they
    /// hold more states than the parents that would search them: where the layers still grow
    /// downwards. Every thread of the count may call it at once, and decides the same.
    void settle_kept(int enemies);

    /// Layers for the states below `start` in `parts` parts each, within `budget_bytes` for all
    /// their tables.
    StateLayers(const State& start, unsigned parts, std::uint64_t budget_bytes);
    StateLayers(const StateLayers&) = delete;
    StateLayers& operator=(const StateLayers&) = delete;

    int top() const { return top_; }
    unsigned parts() const { return parts_; }
    StateTable& part(int enemies, unsigned part) { return tables_[index(enemies, part)]; }
    const StateTable& part(int enemies, unsigned part) const
    {
        return tables_[index(enemies, part)];
    }
    /// The part that holds the state of `hash` in its layer.
    unsigned part_of(std::uint64_t hash) const
    {
        return static_cast<unsigned>((hash & 0xffffffffU) * parts_ >> 32);
    }

    /// The state a slot holds. Only the start's enemies can be enemies, and of them those still
    /// on the board: a landing square overwrites whatever stood there.
    State state_of(const StateTable::Slot& slot) const
    {
        const Square king = unpacked_king(slot.packed);
        return { slot.occupied & ~bit(king) & start_enemies_, slot.occupied, king };
    }

    /// The layer of `next`, a successor of `state` in layer `enemies`: one enemy piece fewer,
    /// or two where the king landed on one.
    static int layer_after(const State& state, int enemies, const State& next)
    {
        const Mask taken = state.enemy & ~next.enemy;
        return enemies - (more_than(taken, 1) ? 2 : 1);
    }

    /// The slot of `state`, in layer `enemies`, or nullptr (always for a layer not kept).
    const StateTable::Slot* find(const State& state, int enemies) const
    {
        const std::uint64_t hash = StateTable::hash(state.occupied, state.king);
        return table_for(enemies, hash).find(state.occupied, state.king, hash);
    }
    const StateTable::Slot* find(const State& state) const
    {
        return find(state, std::popcount(state.enemy));
    }
    /// Starts loading the slot where a find for `state`, in layer `enemies`, begins.
    void prefetch(const State& state, int enemies) const
    {
        const std::uint64_t hash = StateTable::hash(state.occupied, state.king);
        table_for(enemies, hash).prefetch(hash);
    }
    /// Adds `state`, in layer `enemies`, if it is not there yet; from one thread at a time.
    void insert(const State& state, int enemies)
    {
        const std::uint64_t hash = StateTable::hash(state.occupied, state.king);
        table_for(enemies, hash).insert(state.occupied, state.king, hash);
    }

    std::uint64_t size() const;
    /// The states of layer `enemies`.
    std::uint64_t size(int enemies) const;
    std::uint64_t bytes() const { return budget_.used(); }

private:
    /// The table of layer `enemies` where the state of `hash` is.
    const StateTable& table_for(int enemies, std::uint64_t hash) const
    {
        return part(enemies, part_of(hash));
    }
    StateTable& table_for(int enemies, std::uint64_t hash) { return part(enemies, part_of(hash)); }

    std::size_t index(int enemies, unsigned part) const
    {
        return static_cast<std::size_t>(enemies) * parts_ + part;
    }

    Mask start_enemies_;
    int top_;
    int cheap_from_; // the most enemy pieces of a layer whose sampled searches are cheap
    std::atomic<int> fewest_kept_ { 0 }; // the most enemy pieces of a state not kept
    unsigned parts_;
    MemoryBudget budget_;
    std::vector<StateTable> tables_;
};
