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
