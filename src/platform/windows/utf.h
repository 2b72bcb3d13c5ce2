#pragma once

// Text as the wide-character calls of Windows take it, and back: the program keeps names and
// messages as UTF-8.

#include <string>

std::wstring utf16_of(const std::string& text);
std::string utf8_of(const std::wstring& text);
