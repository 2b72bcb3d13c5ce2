#pragma once

#include "board.h"

#include <cstdio>

/// Writes the result file for `board` into `out` by the plain search: the bytes runel writes,
/// by the fewest instructions a capture and nothing remembered. Exits the process if a write
/// fails.
void write_plain_result(const Board& board, std::FILE* out);
