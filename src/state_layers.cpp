#include "state_layers.h"

StateLayers::StateLayers(const State& start, unsigned parts, std::uint64_t budget_bytes)
    : start_enemies_(start.enemy)
    , top_(std::popcount(start.enemy))
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
