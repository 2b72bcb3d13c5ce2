#include "path_text.h"

std::string square_name(Position square)
{
    return { static_cast<char>('a' + square.second), static_cast<char>('0' + 8 - square.first) };
}

std::string edit_path(std::string path, Position from, Position to)
{
    const std::string target = square_name(to);
    if (path.empty()) return square_name(from) + ":" + target;
    // Only the text decides: a landing one rank away on the file the text ends on reads as the
    // same move continued, so the last digit is replaced instead of a square being added. The
    // text need not end at `from` (a call's text ends where its adopted result ended).
    if (replaces_last_rank(path[path.size() - 2], path.back(), target[0], target[1])) {
        path.back() = target[1];
        return path;
    }
    return path + ":" + target;
}
