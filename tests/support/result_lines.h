#pragma once

#include "text_mode.h"

#include <initializer_list>
#include <string>
#include <string_view>

/// The result file holding `paths`, one a line, each ended as this system ends a text line.
inline std::string result_lines(std::initializer_list<std::string_view> paths)
{
    std::string text;
    for (const std::string_view path : paths) {
        text += path;
        text += kLineEnd;
    }
    return text;
}

/// `text`, whose lines end with '\n', with each line ended as this system ends a text line.
inline std::string with_line_ends(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += kLineEnd;
        else
            out += c;
    }
    return out;
}
