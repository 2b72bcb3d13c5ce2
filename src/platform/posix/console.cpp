// Messages on POSIX systems: the C library's words are already in the locale's own encoding.
#include "console.h"

#include <iostream>

std::string system_message(const std::error_code& code)
{
    return code.message();
}

void write_error_text(const std::string& text)
{
    std::cerr << text << std::flush;
}
