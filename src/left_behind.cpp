#include "left_behind.h"

namespace {

// What a file this run wrote its own bytes into holds.
LeftBehind written_into(const FileId& now, std::optional<std::uint64_t> whole)
{
    if (now.size == 0) return LeftBehind::emptied;
    return now.size == whole ? LeftBehind::new_result : LeftBehind::part_written;
}

} // namespace

LeftBehind left_at(const Place& where, bool had_earlier, const FileId* made,
    const FileId* wrote_into, std::optional<std::uint64_t> whole, Handle written)
{
    const FileDoor& door = file_door();
    FileId now;
    const std::error_code code = folder_door().identify_at(where.folder, where.name.c_str(), now);
    if (code == std::errc::no_such_file_or_directory)
        return had_earlier ? LeftBehind::earlier_removed : LeftBehind::nothing;
    if (code) {
        // A name that cannot be looked at: the file written into is looked at through its
        // handle; anything else there was not removed by this run.
        if (wrote_into != nullptr && !door.identify(written, now)) return written_into(now, whole);
        return had_earlier ? LeftBehind::earlier_kept : LeftBehind::nothing;
    }
    if (!now.regular) return LeftBehind::nothing; // a link, a FIFO: no result
    if (made != nullptr && same_state(now, *made)) return LeftBehind::emptied;
    if (wrote_into != nullptr && same_file(now, *wrote_into)) return written_into(now, whole);
    // A result this run neither made nor wrote: the earlier one, or another run's since.
    return had_earlier ? LeftBehind::earlier_kept : LeftBehind::nothing;
}
