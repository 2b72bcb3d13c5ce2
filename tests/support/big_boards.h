#pragma once

#include <string>

/// A board whose result file is 3,555,798 bytes: eighteen enemy men around a king on h5.
inline const std::string kSeveralMegabyteBoard = "  abcdefgh\n"
                                                 "8b++++b++\n"
                                                 "7++++++++\n"
                                                 "6b++b+bbb\n"
                                                 "5b+++b++L\n"
                                                 "4bb+++++b\n"
                                                 "3+++b+b++\n"
                                                 "2++++bb++\n"
                                                 "1b+++++b+\n";

/// A board whose result file is 37 MB in one line, with half a million distinct states: enough
/// pieces that threads start in the middle and come back to earlier ones, and layers wide enough
/// that the size count starts its threads.
inline const std::string kTensOfMegabytesBoard = "  abcdefgh\n"
                                                 "8++b+++++\n"
                                                 "7++b+bbbb\n"
                                                 "6+++b++++\n"
                                                 "5++b+++++\n"
                                                 "4bb++b+++\n"
                                                 "3++++++++\n"
                                                 "2b++++bbb\n"
                                                 "1+Lbbb+++\n";

/// A board whose result file is 219,350,337 bytes (209 MiB), counted with a few dozen megabytes.
inline const std::string kTwoHundredMegabyteBoard = "  abcdefgh\n"
                                                    "8++b++b++\n"
                                                    "7++++b++b\n"
                                                    "6+bbbbb++\n"
                                                    "5++++++b+\n"
                                                    "4+L+b+bb+\n"
                                                    "3+b++b+++\n"
                                                    "2+b++b+++\n"
                                                    "1b+++b+++\n";

/// A board whose result file is 7,206,624 bytes, in whose stream the small states write long
/// texts in one stretch and short ones in another: the border between the states searched again
/// and those looked up moves down, then back up.
inline const std::string kBorderMovingBoard = "  abcdefgh\n"
                                              "8b+++b++b\n"
                                              "7b+b++++L\n"
                                              "6+++b++b+\n"
                                              "5bb+++b++\n"
                                              "4b+++b+b+\n"
                                              "3+b+b++++\n"
                                              "2b+++++++\n"
                                              "1bb++b+++\n";

/// A board whose result file is 42,537 bytes.
inline const std::string kTensOfKilobytesBoard = "  abcdefgh\n"
                                                 "8+++b+b++\n"
                                                 "7+++++L+b\n"
                                                 "6+++++b++\n"
                                                 "5++++b+++\n"
                                                 "4+++++b++\n"
                                                 "3+b++++++\n"
                                                 "2++bb++b+\n"
                                                 "1+++b++b+\n";

/// A board whose result file would be 177,380,466,690 bytes: twenty-two enemy men. Counting
/// its size takes seconds and a gigabyte of memory.
inline const std::string kHundredsOfGigabytesBoard = "  abcdefgh\n"
                                                     "8b+b+++++\n"
                                                     "7+b++bb++\n"
                                                     "6+++b+b+b\n"
                                                     "5+b+b+++b\n"
                                                     "4b+++b++b\n"
                                                     "3+b+bb+b+\n"
                                                     "2+++++b+b\n"
                                                     "1+b+++b+L\n";
