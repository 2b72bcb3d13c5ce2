#pragma once

#include <string_view>

/// What ends a line of a text file written in text mode: the C runtime of Windows turns '\n'
/// into CR LF, every other system leaves it alone. The result file is written in binary with
/// this line end, so that its size is known exactly before it is written.
#if defined(_WIN32)
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif
