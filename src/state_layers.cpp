#include "state_layers.h"

#include "captures.h"

#include <optional>
#include <random>

namespace {

// A layer is kept when the searches from its states take this many captures or more on
// average: below it a search costs less than the waits for memory of a state kept in a table.
constexpr std::uint64_t kCheapSearch = 32;
// States sampled in each layer, each the end of a random walk down from the start.
constexpr int kSamples = 64;

// The captures of the search from `state`, counted up to `limit`.
std::uint64_t captures_below(const State& state, std::uint64_t limit)
{
    std::uint64_t captures = 0;
    for_each_capture(state, [&](Square, const State& next) {
        if (captures >= limit) return;
        ++captures;
        if (enemy_on_lines(next)) captures += captures_below(next, limit - captures);
    });
    return captures;
}

// A state of `enemies` enemy pieces or fewer reached by random captures from `start`; none if
// the walk ends first.
std::optional<State> walk_down(const State& start, int enemies, std::mt19937_64& random)
{
    State state = start;
    while (std::popcount(state.enemy) > enemies) {
        unsigned count = 0;
        for_each_capture(state, [&](Square, const State&) { ++count; });
        if (count == 0) return std::nullopt;
        auto chosen = static_cast<unsigned>(random() % count);
        for_each_capture(state, [&](Square, const State& next) {
            if (chosen-- == 0) state = next;
        });
    }
    return state;
}

// The highest layer whose sampled searches are cheap, or 0: the most enemy pieces a layer not
// kept may have. The samples follow from the start alone, so the answer is the same for any number
// of threads.
int cheap_from_of(const State& start, int top)
{
    std::mt19937_64 random(start.occupied ^ start.enemy);
    for (int enemies = top - 1; enemies > 0; --enemies) {
        std::uint64_t captures = 0;
        int samples = 0;
        for (int walk = 0; walk < 4 * kSamples && samples < kSamples; ++walk) {
            const std::optional<State> state = walk_down(start, enemies, random);
            if (!state) continue;
            captures += captures_below(*state, kCheapSearch * 4);
            ++samples;
        }
        if (samples > 0 && captures < kCheapSearch * static_cast<std::uint64_t>(samples))
            return enemies;
    }
    return 0;
}

} // namespace

StateLayers::StateLayers(const State& start, unsigned parts, std::uint64_t budget_bytes)
    : start_enemies_(start.enemy)
    , top_(std::popcount(start.enemy))
    , cheap_from_(cheap_from_of(start, top_))
    , parts_(parts)
    , budget_(budget_bytes)
{
    const std::size_t tables = (static_cast<std::size_t>(top_) + 1) * parts_;
    tables_.reserve(tables);
    for (std::size_t i = 0; i < tables; ++i) tables_.emplace_back(budget_);
}

std::uint64_t StateLayers::size() const
{
    std::uint64_t states = 0;
    for (const StateTable& table : tables_) states += table.size();
    return states;
}

std::uint64_t StateLayers::size(int enemies) const
{
    std::uint64_t states = 0;
    for (unsigned part = 0; part < parts_; ++part) states += this->part(enemies, part).size();
    return states;
}

void StateLayers::settle_kept(int enemies)
{
    if (fewest_kept() != 0 || enemies - 1 > cheap_from_ || enemies - 1 < 1) return;
    // The layers below the widest one hold few states beside the parents that would search
    // them again and again: on a board with 22 enemy men, leaving out those below the widest
    // layer took a fifth longer than keeping them.
    if (size(enemies) <= size(enemies + 1)) return;
    fewest_kept_.store(enemies - 1, std::memory_order_relaxed);
}
