#include "result_size.h"

#include "search.h"
#include "state_table.h"
#include "text_mode.h"

#include <bit>

namespace {

struct TextTooLong { };

constexpr std::uint64_t kPrefetchFrom = std::uint64_t { 1 } << 20;

// Follows the text's length and last square only; the search from a state met before is not
// done again, its suffix comes from the table.
class LengthCounter {
public:
    LengthCounter(StateTable& table, Square king)
        : table_(table)
        , last_(king)
    {
    }

    Square last_square() const { return last_; }
    void replace_rank(Square landing) { last_ = landing; }
    void restore(Square square) { last_ = square; }
    void append_square(Square landing)
    {
        length_ += 3;
        if (length_ > StateTable::kMaxLength) throw TextTooLong {};
        last_ = landing;
    }

    // A table far bigger than the processor's caches is read at random, so each lookup waits on
    // memory; asking for all the next states' slots at once lets those waits overlap.
    void prefetch_next(const State& state) const
    {
        if (table_.bytes() < kPrefetchFrom) return;
        for_each_capture(state, [this](Square, const State& next) {
            if (worth_remembering(next)) table_.prefetch(next);
        });
    }

    bool descend(const State& next)
    {
        if (!enemy_on_lines(next)) return false;
        if (!worth_remembering(next)) return extend(next, *this);
        if (const std::optional<Suffix> known = table_.find(next)) {
            length_ += known->length;
            if (length_ > StateTable::kMaxLength) throw TextTooLong {};
            last_ = known->last;
            return true;
        }
        const std::uint64_t start = length_;
        const bool captured = extend(next, *this);
        if (length_ - start >= table_.shortest()) table_.insert(next, { length_ - start, last_ });
        return captured;
    }

    std::uint64_t length() const { return length_; }

private:
    StateTable& table_;
    std::uint64_t length_ = 0;
    Square last_;
};

} // namespace

std::uint64_t ResultPlan::file_bytes() const
{
    if (!captured) return kNoCapture.size();
    const std::uint64_t lines = 1 + static_cast<std::uint64_t>(std::popcount(alternatives.ranks));
    return lines * (text_length + kLineEnd.size());
}

std::optional<ResultPlan> plan_result(const State& start, std::uint64_t budget_bytes)
{
    ResultPlan plan;
    try {
        auto owned = std::make_shared<StateTable>(budget_bytes);
        StateTable& table = *owned;
        LengthCounter counter(table, start.king);
        plan.captured = extend(start, counter, &plan.alternatives);
        // The text starts with the king's square, two characters, before the first ":".
        plan.text_length = plan.captured ? 2 + counter.length() : 0;
        plan.states = table.size();
        plan.table_bytes = table.bytes();
        plan.table = std::move(owned);
    } catch (const TextTooLong&) {
        plan.captured = true;
        plan.too_long = true;
        plan.text_length = StateTable::kMaxLength;
        plan.alternatives = {};
    } catch (const MemoryBudgetExceeded&) {
        return std::nullopt;
    }
    return plan;
}
