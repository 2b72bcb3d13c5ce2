#include "take_back.h"

#include "messages.h"
#include "moved_aside.h"

#include <atomic>
#include <cstring>
#include <utility>

namespace {

// The signal handler's view: plain storage behind a lock-free flag, set last and cleared first,
// since the handler reads it on whichever thread the signal lands.
struct Slot {
    std::atomic<int> used { 0 };
    std::atomic<int> set { 0 };
    std::atomic<int> unchanged { 0 };
    Handle folder = kNoHandle;
    char name[4096] = {};
    FileId ours;
};
static_assert(std::atomic<int>::is_always_lock_free, "read by a signal handler");
Slot slots[4];

// Tells the user where a file that is not this run's went, without allocating: a signal
// handler may be the one to say it.
void say_kept(const char* kept)
{
    const std::string_view words = kMessages[static_cast<int>(Message::moved_aside)].words;
    char line[4096 + 256];
    const std::size_t length = std::strlen(kept);
    if (words.size() + length >= sizeof line) return;
    words.copy(line, words.size());
    std::memcpy(line + words.size(), kept, length + 1);
    process_door().say(line);
}

bool is_ours(const FileId& found, const FileId& ours, bool unchanged)
{
    return unchanged ? same_state(found, ours) : same_file(found, ours);
}

// remove_if_still() with signals already held, or in the signal handler itself.
bool remove_unheld(Handle folder, const char* name, const FileId& ours, bool unchanged)
{
    const FolderDoor& folders = folder_door();
    char aside[4096];
    FileId found;
    // Only a name in the working folder is moved aside: that is where a later run looks for what
    // a run killed meanwhile left (moved_aside.h). Elsewhere (a link's target, a temporary file
    // in a folder opened by its path) the name is checked, then removed.
    const std::error_code moved = folder != folders.working_folder || !aside_name(aside, name)
        ? std::make_error_code(std::errc::operation_not_supported)
        : folders.rename_no_replace(folder, name, aside);
    if (moved == std::errc::no_such_file_or_directory) return false; // gone already
    if (moved) {
        // The name cannot be moved aside (no way to rename without replacing, or a refusal of
        // the moment): checked, then removed.
        return !folders.identify_at(folder, name, found) && is_ours(found, ours, unchanged)
            && !folders.unlink(folder, name);
    }
    if (!folders.identify_at(folder, aside, found) && is_ours(found, ours, unchanged))
        return !folders.unlink(folder, aside);
    if (!folders.rename_no_replace(folder, aside, name)) return false;
    // Not ours, and the name taken meanwhile: neither is removed, and the user learns where the
    // foreign file went.
    char kept[4096];
    if (kept_name(kept, name, this_run()) && !folders.rename_no_replace(folder, aside, kept))
        say_kept(kept);
    return false;
}

} // namespace

bool remove_if_still(Handle folder, const char* name, const FileId& ours, bool unchanged)
{
    const SignalsHeld held;
    return remove_unheld(folder, name, ours, unchanged);
}

void take_back_on_signal()
{
    for (Slot& slot : slots) {
        if (slot.set.load(std::memory_order_acquire) == 0) continue;
        remove_unheld(
            slot.folder, slot.name, slot.ours, slot.unchanged.load(std::memory_order_acquire) != 0);
    }
}

TakeBack::TakeBack(const Place& place, const FileId& ours, bool unchanged, bool on_signal)
    : owns_(true)
    , place_(place)
    , ours_(ours)
    , unchanged_(unchanged)
{
    if (!on_signal || place.name.size() >= sizeof slots[0].name) return;
    for (int i = 0; i < static_cast<int>(std::size(slots)); ++i) {
        int free = 0;
        if (!slots[i].used.compare_exchange_strong(free, 1)) continue;
        Slot& slot = slots[i];
        slot.folder = place.folder;
        place.name.copy(slot.name, place.name.size());
        slot.name[place.name.size()] = '\0';
        slot.ours = ours;
        slot.unchanged.store(unchanged ? 1 : 0, std::memory_order_release);
        slot.set.store(1, std::memory_order_release);
        slot_ = i;
        return;
    }
}

TakeBack::TakeBack(TakeBack&& other) noexcept
    : owns_(std::exchange(other.owns_, false))
    , slot_(std::exchange(other.slot_, -1))
    , place_(std::move(other.place_))
    , ours_(other.ours_)
    , unchanged_(other.unchanged_)
{
}

TakeBack& TakeBack::operator=(TakeBack&& other) noexcept
{
    if (this != &other) {
        take_back();
        owns_ = std::exchange(other.owns_, false);
        slot_ = std::exchange(other.slot_, -1);
        place_ = std::move(other.place_);
        ours_ = other.ours_;
        unchanged_ = other.unchanged_;
    }
    return *this;
}

void TakeBack::keep()
{
    if (slot_ >= 0) {
        slots[slot_].set.store(0, std::memory_order_release);
        slots[slot_].used.store(0, std::memory_order_release);
    }
    slot_ = -1;
    owns_ = false;
}

bool TakeBack::take_back()
{
    if (!owns_) return false;
    const SignalsHeld held;
    const bool removed = remove_unheld(place_.folder, place_.name.c_str(), ours_, unchanged_);
    keep();
    return removed;
}

void TakeBack::written_by_this_run()
{
    unchanged_ = false;
    if (slot_ >= 0) slots[slot_].unchanged.store(0, std::memory_order_release);
}
