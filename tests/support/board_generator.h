#pragma once

#include <cstdint>
#include <string>

/// The text of a random board file from `seed`: 0 to 20 enemy pieces (men and kings), some own
/// men, usually one own king and sometimes none or several, with or without rank labels, "+" or
/// "*" for empty squares, and LF or CR LF line ends. The same seed gives the same text.
std::string generated_board_file(std::uint64_t seed);

/// The text of a crowded board from `seed`: one own king, 13 to 18 enemy pieces and a few own
/// men, whose results often run to megabytes and whose states recur through many orders of
/// captures, with the king on different squares among the same pieces.
std::string dense_board_file(std::uint64_t seed);
