#include "result_size.h"

#include "search.h"
#include "text_mode.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace {

struct TextTooLong { };

// Slots of a part that each thread goes through before the threads trade what they found.
constexpr std::uint64_t kRound = 65536;
// A slot read at random waits on memory: it is asked for this many uses ahead, so that the
// waits of several overlap.
constexpr std::size_t kAhead = 16;
// States whose work asks for its slots before any of that work is done.
constexpr std::uint64_t kBatch = 16;

// A successor of a state, waiting to be put in its layer.
struct Found {
    Mask occupied;
    std::uint64_t hash;
    Square king;
    int layer;
};

// The length and last square of a text as the search grows it, without the text.
class TextLength {
public:
    explicit TextLength(Square last)
        : last_(last)
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

protected:
    std::uint64_t length_ = 0;
    Square last_;
};

// What the search appends from a state that is not kept, found by searching it.
class SearchedSuffix : public TextLength {
public:
    using TextLength::TextLength;
    bool descend(const State& next) { return enemy_on_lines(next) && extend(next, *this); }
    std::uint64_t length() const { return length_; }
};

// Follows what the search from one state appends, taking what each kept successor appends from
// its layer, where it is known already, and searching the others.
class SuffixOfState : public TextLength {
public:
    SuffixOfState(const StateLayers& layers, const State& state, int enemies)
        : TextLength(state.king)
        , layers_(layers)
        , state_(state)
        , enemies_(enemies)
    {
    }

    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        const int layer = StateLayers::layer_after(state_, enemies_, next);
        if (!layers_.kept(layer)) {
            SearchedSuffix searched(last_);
            if (!extend(next, searched)) return false;
            length_ += searched.length();
            last_ = searched.last_square();
            return true;
        }
        const StateTable::Slot* slot = layers_.find(next, layer);
        if (slot == nullptr) throw std::logic_error("a state was not counted before its parent");
        const Suffix known = unpacked_suffix(slot->packed);
        if (known.length == 0) return false;
        // Each suffix is at most kMaxLength, so the sum of a state's few cannot wrap around.
        length_ += known.length;
        last_ = known.last;
        return true;
    }

    Suffix suffix() const
    {
        if (length_ > StateTable::kMaxLength) throw TextTooLong {};
        return { length_, last_ };
    }

private:
    const StateLayers& layers_;
    State state_;
    int enemies_;
};

// Calls found(next, layer) for each successor of `state`, in layer `enemies`, that is kept: it
// has a capture in sight, and enough enemy pieces left.
template <class Found>
void for_each_successor(const StateLayers& layers, const State& state, int enemies, Found&& found)
{
    for_each_capture(state, [&](Square, const State& next) {
        if (!enemy_on_lines(next)) return;
        const int layer = StateLayers::layer_after(state, enemies, next);
        if (layers.kept(layer)) found(next, layer);
    });
}

// The threads that count together, each the only writer of its part of every layer. They go
// through the layers in step, and agree at each step whether to go on: a failure on one stops
// all. The decision is taken once, by the thread that completes the step, while it holds the
// lock; were each thread to read the failure after leaving, one could read it before another
// records it, go on to the next step and wait there for ever for a thread that has stopped.
// Made of a mutex and a condition variable rather than std::barrier: GCC 12's barrier waits
// through its atomic wait, which on systems without a futex (MinGW) can miss its wake-up and
// hang.
class Team {
public:
    explicit Team(unsigned threads)
        : expected_(threads)
    {
    }

    /// Runs `work` unless a thread has failed; records its failure if it throws.
    template <class Work> void guarded(Work&& work)
    {
        if (failed()) return;
        try {
            work();
        } catch (...) {
            fail(std::current_exception());
        }
    }
    /// Records a failure: every thread stops at the next step that completes.
    void fail(std::exception_ptr failure)
    {
        const std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::move(failure);
    }
    /// Waits until every expected thread has arrived; false when the work is to stop, the same
    /// answer for every thread of the step.
    bool step()
    {
        std::unique_lock lock(mutex_);
        const std::uint64_t generation = generation_;
        if (++waiting_ == expected_) {
            release();
        } else {
            all_here_.wait(lock, [&] { return generation_ != generation; });
        }
        // The next step cannot complete before this thread arrives at it, so go_on_ still
        // holds this step's decision.
        return go_on_;
    }
    /// Lets the others go on without a thread that was never started.
    void drop()
    {
        const std::lock_guard lock(mutex_);
        --expected_;
        if (waiting_ > 0 && waiting_ == expected_) release();
    }
    /// After every thread has finished: rethrows the first failure.
    void rethrow()
    {
        const std::lock_guard lock(mutex_);
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    bool failed()
    {
        const std::lock_guard lock(mutex_);
        return failure_ != nullptr;
    }
    void release()
    {
        go_on_ = failure_ == nullptr;
        waiting_ = 0;
        ++generation_;
        all_here_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable all_here_;
    unsigned expected_;
    unsigned waiting_ = 0;
    std::uint64_t generation_ = 0;
    bool go_on_ = true;
    std::exception_ptr failure_;
};

// Layers with fewer slots than this in all are expanded by one thread: their work is shorter
// than starting threads and the steps that keep them together, above all where a thread's start
// and wait go through the system (as under Wine).
constexpr std::uint64_t kThreadedFrom = std::uint64_t { 1 } << 15;

// The count shared out among threads, each the only writer of its parts, or done part by part
// by one thread where the layers are small.
class Counting {
public:
    explicit Counting(StateLayers& layers)
        : layers_(layers)
        , found_(static_cast<std::size_t>(layers.parts()) * layers.parts())
    {
    }

    /// Expands the layers from the top down by one thread while they are small (all of them if
    /// there is one part); returns the layer where the threads are to go on, or 0 if none is.
    int expand_small_layers()
    {
        int enemies = layers_.top() - 1;
        for (; enemies > layers_.fewest_kept(); --enemies) {
            layers_.settle_kept(enemies);
            if (layers_.parts() > 1 && slots(enemies) >= kThreadedFrom) return enemies;
            for (std::uint64_t from = 0; from < widest_part(enemies); from += kRound) {
                for (unsigned part = 0; part < layers_.parts(); ++part)
                    find_successors(part, enemies, from);
                for (unsigned part = 0; part < layers_.parts(); ++part) insert_found(part);
            }
        }
        return 0;
    }

    /// What each state appends, by one thread, part by part.
    void count_alone()
    {
        for (int enemies = layers_.fewest_kept() + 1; enemies < layers_.top(); ++enemies) {
            for (unsigned part = 0; part < layers_.parts(); ++part)
                count_part(layers_.part(enemies, part), enemies);
        }
    }

    /// One thread's share of the rest: the layers from `enemies` down, then what each state
    /// appends.
    void run(unsigned thread, Team& team, int enemies)
    {
        if (find_states(thread, team, enemies)) count_suffixes(thread, team);
    }

private:
    std::uint64_t slots(int enemies) const
    {
        std::uint64_t slots = 0;
        for (unsigned part = 0; part < layers_.parts(); ++part)
            slots += layers_.part(enemies, part).capacity();
        return slots;
    }
    std::uint64_t widest_part(int enemies) const
    {
        std::uint64_t most = 0;
        for (unsigned part = 0; part < layers_.parts(); ++part)
            most = std::max(most, layers_.part(enemies, part).capacity());
        return most;
    }

    // Every state below the start, layer by layer from the top: a layer's states are all known
    // once the layers above it have been expanded. Threads go through their parts of a layer in
    // rounds; in each, every thread first finds the successors of a stretch of its part, then
    // puts those that belong to its parts in their layers.
    bool find_states(unsigned thread, Team& team, int first)
    {
        for (int enemies = first; enemies > layers_.fewest_kept(); --enemies) {
            layers_.settle_kept(enemies);
            const std::uint64_t most = widest_part(enemies);
            for (std::uint64_t from = 0; from < most; from += kRound) {
                team.guarded([&] { find_successors(thread, enemies, from); });
                if (!team.step()) return false;
                team.guarded([&] { insert_found(thread); });
                if (!team.step()) return false;
            }
        }
        return true;
    }
    void find_successors(unsigned thread, int enemies, std::uint64_t from)
    {
        const StateTable& table = layers_.part(enemies, thread);
        const std::uint64_t to = std::min(table.capacity(), from + kRound);
        for (std::uint64_t i = from; i < to; ++i) {
            const StateTable::Slot& slot = table.slots()[i];
            if (slot.occupied == 0) continue;
            for_each_successor(
                layers_, layers_.state_of(slot), enemies, [&](const State& next, int layer) {
                    const std::uint64_t hash = StateTable::hash(next.occupied, next.king);
                    found(thread, layers_.part_of(hash))
                        .push_back({ next.occupied, hash, next.king, layer });
                });
        }
    }

    void insert_found(unsigned thread)
    {
        for (unsigned finder = 0; finder < layers_.parts(); ++finder) {
            std::vector<Found>& list = found(finder, thread);
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (i + kAhead < list.size()) {
                    const Found& ahead = list[i + kAhead];
                    layers_.part(ahead.layer, thread).prefetch(ahead.hash);
                }
                const Found& next = list[i];
                layers_.part(next.layer, thread).insert(next.occupied, next.king, next.hash);
            }
            list.clear();
        }
    }

    // What each state appends, layer by layer from the bottom, where states have no
    // successors; each thread works out the states of its parts.
    void count_suffixes(unsigned thread, Team& team)
    {
        for (int enemies = layers_.fewest_kept() + 1; enemies < layers_.top(); ++enemies) {
            team.guarded([&] { count_part(layers_.part(enemies, thread), enemies); });
            if (!team.step()) return;
        }
    }

    // The states go in batches: first the slots that their work will read are asked for, then
    // the work is done, by when those slots have arrived.
    void count_part(StateTable& table, int enemies)
    {
        StateTable::Slot* slots = table.slots();
        for (std::uint64_t from = 0; from < table.capacity(); from += kBatch) {
            const std::uint64_t to = std::min(table.capacity(), from + kBatch);
            for (std::uint64_t i = from; i < to; ++i) {
                if (slots[i].occupied == 0) continue;
                for_each_successor(layers_, layers_.state_of(slots[i]), enemies,
                    [&](const State& next, int layer) { layers_.prefetch(next, layer); });
            }
            for (std::uint64_t i = from; i < to; ++i) {
                if (slots[i].occupied == 0) continue;
                const State state = layers_.state_of(slots[i]);
                SuffixOfState suffix(layers_, state, enemies);
                extend(state, suffix);
                slots[i].packed = pack_suffix(suffix.suffix(), state.king);
            }
        }
    }

    std::vector<Found>& found(unsigned finder, unsigned part)
    {
        return found_[static_cast<std::size_t>(finder) * layers_.parts() + part];
    }

    StateLayers& layers_;
    std::vector<std::vector<Found>> found_; // by finder and part
};

// Raised when a thread of the count cannot be started.
struct NoThread { };

void count_states(const State& start, StateLayers& layers)
{
    for_each_successor(layers, start, layers.top(),
        [&](const State& next, int layer) { layers.insert(next, layer); });
    Counting counting(layers);
    const int first = counting.expand_small_layers();
    if (first == 0) {
        counting.count_alone();
        return;
    }
    Team team(layers.parts());
    std::vector<std::thread> helpers;
    for (unsigned thread = 1; thread < layers.parts(); ++thread) {
        try {
            helpers.emplace_back([&, thread] { counting.run(thread, team, first); });
        } catch (...) {
            // The parts of a thread that never started would never be filled: the others stop
            // at their first step, and the count starts again on fewer threads.
            team.fail(std::make_exception_ptr(NoThread {}));
            for (unsigned missing = thread; missing < layers.parts(); ++missing) team.drop();
            break;
        }
    }
    counting.run(0, team, first);
    for (std::thread& helper : helpers) helper.join();
    team.rethrow();
}

} // namespace

std::uint64_t ResultPlan::file_bytes() const
{
    if (!captured) return kNoCapture.size();
    const std::uint64_t lines = 1 + static_cast<std::uint64_t>(std::popcount(alternatives.ranks));
    return lines * (text_length + kLineEnd.size());
}

std::optional<ResultPlan> plan_result(
    const State& start, std::uint64_t budget_bytes, unsigned threads)
{
    ResultPlan plan;
    try {
        auto layers = std::make_shared<StateLayers>(start, std::max(threads, 1U), budget_bytes);
        count_states(start, *layers);
        SuffixOfState text(*layers, start, layers->top());
        plan.captured = extend(start, text, &plan.alternatives);
        // The text starts with the king's square, two characters, before the first ":".
        plan.text_length = plan.captured ? 2 + text.suffix().length : 0;
        plan.states = layers->size();
        plan.table_bytes = layers->bytes();
        plan.layers = std::move(layers);
    } catch (const NoThread&) {
        return threads > 1 ? plan_result(start, budget_bytes, 1) : std::nullopt;
    } catch (const TextTooLong&) {
        plan.captured = true;
        plan.too_long = true;
        plan.text_length = StateTable::kMaxLength;
        plan.alternatives = {};
    } catch (const MemoryBudgetExceeded&) {
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        // The process's memory ran out before the budget did (a limit that the estimate missed):
        // the count gives up its tables, and the result is written without a known size.
        return std::nullopt;
    }
    return plan;
}
