#pragma once

// The lines the program prints for failures whose words come from the system, as each system
// words them (Windows cannot open a folder as a file at all, so there the opening fails).

#include <string>
#include <system_error>

#if defined(_WIN32)
#include "console.h"

inline const std::string kNoSuchFileText
    = system_message({ 2, std::system_category() }); // ERROR_FILE_NOT_FOUND
inline const std::string kBoardFolderMessage
    = "Runel_in.txt: cannot open: " + system_message({ 5, std::system_category() });
inline const std::string kResultFolderMessage = "Runel_out.txt: cannot write the result: "
    + system_message({ 5, std::system_category() }) + " (refused by the file)";
#else
inline const std::string kNoSuchFileText = "No such file or directory";
inline const std::string kBoardFolderMessage = "Runel_in.txt: cannot read: Is a directory";
inline const std::string kResultFolderMessage
    = "Runel_out.txt: cannot write the result: Is a directory";
#endif
