#include "moved_aside.h"

#include "messages.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kTemporaryMark = ".runel-";
constexpr std::string_view kAsideMark = ".runel-removing-";
constexpr std::string_view kKeptMark = ".not-removed-by-runel-";
constexpr std::size_t kLetters = 6;

// Made before main() begins, so before any signal handler can need it: the system's door is a
// constant table, whole before any code runs.
const ProcessMark this_process = system_process_door().this_process(); // NOLINT(cert-err58-cpp)

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

// `name`, then `mark`, then the run's mark, into `out`; false where it would not fit. No
// allocation, since a signal handler builds names.
bool name_with_mark(
    char (&out)[4096], const char* name, std::string_view mark, const ProcessMark& run)
{
    const std::size_t length = std::strlen(name);
    char* const end = out + sizeof out - 1; // room kept for the final '\0'
    if (length + mark.size() >= sizeof out) return false;
    char* at = std::copy(mark.begin(), mark.end(), std::copy(name, name + length, out));
    const auto [dash, id_failed] = std::to_chars(at, end, run.id);
    if (id_failed != std::errc() || dash == end) return false;
    *dash = '-';
    const auto [stop, start_failed] = std::to_chars(dash + 1, end, run.started);
    if (start_failed != std::errc()) return false;
    *stop = '\0';
    return true;
}

} // namespace

std::string temporary_name(const std::string& base)
{
    static std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())
        ^ this_process.id);
    std::string name = base + std::string(kTemporaryMark);
    for (std::size_t i = 0; i < kLetters; ++i) name += static_cast<char>('a' + random() % 26);
    return name;
}

bool is_temporary_name(const std::string& name, const std::string& base)
{
    const std::string_view tail = std::string_view(name).substr(std::min(name.size(), base.size()));
    return name.starts_with(base) && tail.size() == kTemporaryMark.size() + kLetters
        && tail.starts_with(kTemporaryMark)
        && std::all_of(tail.begin() + kTemporaryMark.size(), tail.end(),
            [](char c) { return c >= 'a' && c <= 'z'; });
}

bool kept_name(char (&out)[4096], const char* name, const ProcessMark& run)
{
    return name_with_mark(out, name, kKeptMark, run);
}

bool aside_name(char (&out)[4096], const char* name)
{
    return name_with_mark(out, name, kAsideMark, this_process);
}

const ProcessMark& this_run()
{
    return this_process;
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
        if (!moved_by(aside, moved_from, run) || process_door().process_running(run)) continue;
        const std::string original(moved_from);
        if (is_temporary_name(original, name)) {
            folders.unlink(folder, aside.c_str());
            continue;
        }
        if (original != name) continue;
        const std::error_code put_back
            = folders.rename_no_replace(folder, aside.c_str(), original.c_str());
        if (put_back != std::errc::file_exists) continue; // back, gone, or not to be moved here
        char kept[4096];
        if (kept_name(kept, original.c_str(), run)
            && !folders.rename_no_replace(folder, aside.c_str(), kept))
            process_door().say((words_of(Message::left_aside_kept) + kept).c_str());
    }
}
