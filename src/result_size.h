#pragma once

#include "state.h"
#include "state_layers.h"
#include "walk.h"

#include <cstdint>
#include <memory>
#include <optional>

/// The shape of the result file, known before any of it is written.
struct ResultPlan {
    bool captured = false; // false: the file says "No"
    bool too_long = false; // the path text passes StateTable::kMaxLength
    std::uint64_t text_length = 0; // length of the settled path text (every line has it)
    Alternatives alternatives; // the lines beside it
    std::uint64_t states = 0; // distinct states met on the way
    std::uint64_t table_bytes = 0; // the memory they took
    /// Every state met below the start, with what the search from it appends: the text's layout.
    std::shared_ptr<const StateLayers> layers;
    /// Bytes of the result file; for a too_long plan, a lower bound.
    std::uint64_t file_bytes() const;
};

/// Works out the result's size from `start` without producing text: what the search from each
/// state appends is a function of the state alone, so each distinct state is worked out once,
/// from those below it, and kept in tables of at most `budget_bytes` in all. `threads` threads
/// share the work; the plan is the same whatever their number. Empty when the budget, or the
/// process's memory, does not suffice.
std::optional<ResultPlan> plan_result(
    const State& start, std::uint64_t budget_bytes, unsigned threads = 1);
