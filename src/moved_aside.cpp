#include "moved_aside.h"

#include "messages.h"

#include <charconv>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kAsideMark = ".runel-removing-";

// Made before main() begins, so before any signal handler can need it: the system's door is a
// constant table, whole before any code runs.
const ProcessMark this_run = system_process_door().this_process(); // NOLINT(cert-err58-cpp)

// Appends `number` at `at`; false where it would not fit in `size`.
bool append_number(char* out, std::size_t& at, std::size_t size, std::uint64_t number)
{
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0);
    if (at + static_cast<std::size_t>(count) >= size) return false;
    while (count > 0) out[at++] = digits[--count];
    out[at] = '\0';
    return true;
}

bool append_text(char* out, std::size_t& at, std::size_t size, std::string_view text)
{
    if (at + text.size() >= size) return false;
    text.copy(out + at, text.size());
    at += text.size();
    out[at] = '\0';
    return true;
}

bool number_of(std::string_view digits, std::uint64_t& number)
{
    const char* end = digits.data() + digits.size();
    const auto [stop, failed] = std::from_chars(digits.data(), end, number);
    return !digits.empty() && failed == std::errc() && stop == end;
}

// The run whose mark ends `aside` ("<id>-<start>" after the last mark), and the name it moved
// aside; false for a name not made by aside_name().
bool moved_by(std::string_view aside, std::string_view& moved_from, ProcessMark& run)
{
    const std::size_t mark = aside.rfind(kAsideMark);
    if (mark == std::string_view::npos) return false;
    const std::string_view tail = aside.substr(mark + kAsideMark.size());
    const std::size_t dash = tail.find('-');
    moved_from = aside.substr(0, mark);
    return dash != std::string_view::npos && number_of(tail.substr(0, dash), run.id)
        && number_of(tail.substr(dash + 1), run.started) && run.id != 0;
}

// The result's own name, or one of its temporary files.
bool from_this_result(std::string_view moved_from, std::string_view name)
{
    return moved_from == name
        || (moved_from.starts_with(name) && moved_from.substr(name.size()).starts_with(".runel-"));
}

} // namespace

bool name_beside(char (&out)[4096], const char* name, const char* mark, std::uint64_t number)
{
    std::size_t at = 0;
    return append_text(out, at, sizeof out, name) && append_text(out, at, sizeof out, mark)
        && append_number(out, at, sizeof out, number);
}

bool aside_name(char (&out)[4096], const char* name)
{
    std::size_t at = 0;
    return append_text(out, at, sizeof out, name) && append_text(out, at, sizeof out, kAsideMark)
        && append_number(out, at, sizeof out, this_run.id) && append_text(out, at, sizeof out, "-")
        && append_number(out, at, sizeof out, this_run.started);
}

void put_back_moved_aside(Handle folder, const std::string& name)
{
    const FolderDoor& folders = folder_door();
    std::vector<std::string> names;
    if (folders.names_beginning(folder, name, names)) return;
    for (const std::string& aside : names) {
        std::string_view moved_from;
        ProcessMark run;
        // A live run's file is being checked: it is that run's to put back or remove.
        if (!moved_by(aside, moved_from, run) || !from_this_result(moved_from, name)
            || process_door().process_running(run))
            continue;
        const std::string original(moved_from);
        const std::error_code put_back
            = folders.rename_no_replace(folder, aside.c_str(), original.c_str());
        if (put_back != std::errc::file_exists) continue; // back, gone, or not to be moved here
        const std::string kept = original + kNotRemovedMark + std::to_string(run.id) + "-"
            + std::to_string(run.started);
        if (!folders.rename_no_replace(folder, aside.c_str(), kept.c_str()))
            process_door().say((words_of(Message::left_aside_kept) + kept).c_str());
    }
}
