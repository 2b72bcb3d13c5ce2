#pragma once

#include "state.h"
#include "storage.h"

#include <cstdint>
#include <string_view>

/// The whole result file when the king has no capture (or there is no king).
inline constexpr std::string_view kNoCapture = "No";

/// Writes the result file for the king's captures from `start` into `storage`: the settled
/// path texts, one a line in ascending byte order, every line ended, or "No" without a line end.
/// Time grows with the size of the result; memory does not. Returns the bytes written; throws
/// std::system_error if the storage fails.
std::uint64_t write_captures(const State& start, Storage& storage);
