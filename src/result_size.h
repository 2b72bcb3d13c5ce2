#pragma once

#include "state.h"
#include "state_table.h"
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
    std::uint64_t states = 0; // distinct states remembered on the way
    std::uint64_t table_bytes = 0; // the memory they took
    /// The remembered suffixes, with where each first appears: the text's layout.
    std::shared_ptr<const StateTable> table;
    /// Bytes of the result file; for a too_long plan, a lower bound.
    std::uint64_t file_bytes() const;
};

/// Works out the result's size from `start` without producing text: what the search from each
/// state appends is a function of the state alone, so each distinct state is searched once and
/// remembered in a table of at most `budget_bytes`. Empty when that budget does not suffice.
std::optional<ResultPlan> plan_result(const State& start, std::uint64_t budget_bytes);
