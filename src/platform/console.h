#pragma once

// The messages the program prints: the system's words for a failure, and the way they reach the
// user, so that they read right in the user's language wherever standard error goes.

#include <string>
#include <system_error>

/// The system's own words for `code`, in the user's language, as UTF-8, without a final period
/// or line end.
std::string system_message(const std::error_code& code);

/// Writes UTF-8 `text` on standard error: on a console as the console's own characters,
/// elsewhere (a file, a pipe) as the UTF-8 bytes.
void write_error_text(const std::string& text);
