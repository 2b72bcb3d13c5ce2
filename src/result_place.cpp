#include "result_place.h"

#include "moved_aside.h"
#include "take_back.h"

#include <vector>

namespace {

// Where the folder cannot be locked: an empty temporary file younger than this may be one whose
// run has not locked it yet.
constexpr std::int64_t kBirthSeconds = 60;
// Names tried before a folder full of them is taken as refusing.
constexpr int kNameAttempts = 100;

// Tries fresh temporary names for `base` with `make` until one is free.
template <class Make>
std::error_code under_a_fresh_name(const std::string& base, std::string& name, Make make)
{
    for (int attempt = 0;; ++attempt) {
        name = temporary_name(base);
        const std::error_code code = make(name);
        if (!code) return code;
        name.clear();
        if (code != std::errc::file_exists || attempt == kNameAttempts) return code;
    }
}

} // namespace

bool identified(Handle file, const Place& place, FileId& id)
{
    const FileDoor& door = file_door();
    return !door.identify(file, id)
        || !folder_door().identify_at(place.folder, place.name.c_str(), id);
}

std::error_code locate(Handle file, const char* opened_as, Place& place)
{
    const FileDoor& door = file_door();
    const FolderDoor& folders = folder_door();
    place = {};
    Place found;
    const std::error_code code = folders.open_folder_of(door.path_of(file, opened_as), found);
    if (code) return code;
    FileId named;
    FileId opened;
    if (found.name.empty() || door.identify(file, opened)
        || folders.identify_at(found.folder, found.name.c_str(), named) || !named.regular
        || !same_file(named, opened)) {
        folders.close_folder(found.folder);
        return {};
    }
    place = found;
    return {};
}

bool replaceable(Handle file, const Place& place)
{
    FileStanding standing;
    return !folder_door().standing(file, place.folder, standing) && standing.links == 1
        && standing.owned_by_user && !standing.held_by_standard_stream && !standing.mount_root
        && !standing.folder_append_only;
}

std::error_code make_beside(
    const Place& place, Handle like, bool like_is_new, Handle& made, std::string& name)
{
    const FileDoor& door = file_door();
    const FolderDoor& folders = folder_door();
    made = kNoHandle;
    name.clear();
    Handle file = kNoHandle;
    if (folders.make_unnamed(place.folder, file)) {
        const std::error_code code
            = under_a_fresh_name(place.name, name, [&](const std::string& tried) {
                  return folders.make_named(place.folder, tried.c_str(), file);
              });
        if (code) return code;
    }
    bool attributes = false;
    if (like == kNoHandle
        || (door.carry_identity(like, file, attributes) && (attributes || like_is_new))) {
        made = file;
        return {};
    }
    // Not the earlier result's identity: the file goes, and the result is written in place.
    FileId id;
    if (!name.empty() && identified(file, Place { place.folder, name }, id))
        remove_if_still(place.folder, name.c_str(), id, false);
    name.clear();
    door.close(file);
    return {};
}

std::error_code put_in_place(Handle file, const std::string& name, const Place& place)
{
    const FolderDoor& folders = folder_door();
    std::string named = name;
    if (named.empty()) {
        const std::error_code code
            = under_a_fresh_name(place.name, named, [&](const std::string& tried) {
                  return folders.give_name(file, place.folder, tried.c_str());
              });
        if (code) return code;
    }
    const std::error_code refused = folders.rename_over(file, named, place);
    // A name given here goes again: the caller knows the file by its handle alone.
    FileId id;
    if (refused && name.empty() && identified(file, Place { place.folder, named }, id))
        remove_if_still(place.folder, named.c_str(), id, false);
    return refused;
}

void remove_leftovers(const Place& place)
{
    const FileDoor& door = file_door();
    const FolderDoor& folders = folder_door();
    std::vector<std::string> names;
    if (folders.names_beginning(place.folder, place.name, names)) return;
    std::erase_if(
        names, [&](const std::string& name) { return !is_temporary_name(name, place.name); });
    if (names.empty()) return;
    const bool folder_locked = folders.lock_folder(place.folder, true);
    for (const std::string& name : names) {
        Handle file = kNoHandle;
        LeftoverFacts found;
        if (folders.open_leftover(place.folder, name.c_str(), file, found)) continue;
        // Still the file that was checked, under the lock that keeps its run's successors out.
        const bool dead = found.id.regular && found.owned_by_user && found.lock_taken
            && (folder_locked || found.id.size > 0 || found.age_seconds > kBirthSeconds);
        if (dead) remove_if_still(place.folder, name.c_str(), found.id, true);
        door.close(file);
    }
    if (folder_locked) folders.unlock_folder(place.folder);
}
