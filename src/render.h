#pragma once

#include "result_size.h"
#include "state.h"
#include "storage.h"

#include <cstdint>

/// Writes the result file that `plan`, counted from `start`, lays out into `storage`, which has
/// room reserved for it and random access: pieces of the text go to their known offsets from
/// `threads` threads at once, and the bytes are the same whatever their number. Its table is let
/// go (freed if `plan` was its last owner) before the pieces are rendered. Returns the bytes
/// written; throws std::system_error if the storage fails.
std::uint64_t render_result(
    const State& start, ResultPlan plan, Storage& storage, unsigned threads);
