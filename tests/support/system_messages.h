#pragma once

// The lines the program prints for failures whose words come from the system, as each system
// words them (Windows cannot open a folder as a file at all, so there the opening fails).

#include <string>
#include <system_error>

#if defined(_WIN32)
inline const std::string kNoSuchFileText
    = std::system_category().message(2); // ERROR_FILE_NOT_FOUND
inline const std::string kBoardFolderMessage
    = "Runel_in.txt: cannot open: " + std::system_category().message(5); // ERROR_ACCESS_DENIED
inline const std::string kResultFolderMessage
    = "Runel_out.txt: cannot write the result: " + std::system_category().message(5);
#else
inline const std::string kNoSuchFileText = "No such file or directory";
inline const std::string kBoardFolderMessage = "Runel_in.txt: cannot read: Is a directory";
inline const std::string kResultFolderMessage
    = "Runel_out.txt: cannot write the result: Is a directory";
#endif
