// The result file's opening, and what a failure before or after it takes back. The file is
// opened as the plain opening for writing opens it, only without discarding its content yet.
#include "result_file.h"

#include "file_output.h"
#include "held_file_wait.h"
#include "moved_aside.h"
#include "result_place.h"

#include <utility>

namespace {

// A pipe, a terminal, a device: the bytes go in as they come, once each, in order.
class StreamOutput final : public ResultOutput {
public:
    explicit StreamOutput(OwnedFile file)
        : file_(std::move(file))
    {
    }

    bool random_access() const override { return false; }
    void reserve(std::uint64_t) override { }
    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        // A stream cannot go back.
        if (offset != written_) check(std::make_error_code(std::errc::invalid_seek));
        while (size > 0) {
            std::size_t done = 0;
            check(file_door().write(file_.get(), data, size, done)); // broken pipe: reader gone
            if (done == 0) check(std::make_error_code(std::errc::io_error));
            data += done;
            size -= done;
            written_ += done;
        }
    }
    void read_at(std::uint64_t, char*, std::size_t) override
    {
        check(std::make_error_code(std::errc::invalid_seek));
    }
    void copy_within(std::uint64_t, std::uint64_t, std::uint64_t) override
    {
        check(std::make_error_code(std::errc::invalid_seek));
    }
    void commit() override { }

private:
    OwnedFile file_;
    std::uint64_t written_ = 0;
};

// The file the opening returned: what it is and, for a regular file, where it is, proven
// through its folder. A file the opening made is the run's to take back from the moment it exists
// (signals wait meanwhile): at the name itself where creating made it there (creating never
// follows a link), or at the end of a dangling link, which the located place names.
void take(Opened& opened, Handle file, const std::string& name, bool created, bool at_name,
    std::optional<FileId>* made)
{
    const FileDoor& door = file_door();
    const FolderDoor& folders = folder_door();
    opened.file.reset(file);
    const std::error_code unknown = door.identify(file, opened.id);
    if (created && at_name) {
        // Made at the name itself: there it is looked up, should the file itself not say.
        FileId id = opened.id;
        // A file just made is empty: one that is not was written into by another writer
        // meanwhile, and is that writer's.
        if ((!unknown || !folders.identify_at(folders.working_folder, name.c_str(), id))
            && id.size == 0) {
            opened.made = TakeBack(Place { folders.working_folder, name }, id, true, true);
            if (made != nullptr) *made = id;
        }
    }
    check(unknown);
    if (!opened.id.regular) return;
    check(locate(file, name.c_str(), opened.place));
    opened.folder = OwnedFolder(opened.place.folder);
    if (created && !at_name && !opened.place.name.empty()) {
        opened.made = TakeBack(opened.place, opened.id, true, true);
        if (made != nullptr) *made = opened.id;
    }
}

// The plain opening for writing, without discarding the content.
Opened open_as_writing_would(const std::string& name, std::optional<FileId>* made)
{
    const FileDoor& door = file_door();
    Opened opened;
    // A name that comes and goes between the two opens is tried again, a few times; a file
    // another program holds open (a sharing violation on Windows), for a short while.
    HeldFileWait wait;
    for (int attempt = 0;; ++attempt) {
        Handle file = kNoHandle;
        bool created = false;
        bool by_folder = false;
        std::error_code code;
        {
            const SignalsHeld held;
            code = door.creates_at_open ? door.create_new(name.c_str(), file)
                                        : std::make_error_code(std::errc::file_exists);
            const bool at_name = !code;
            // Creating refused, with nothing at the name: the folder's refusal.
            by_folder = code && code != std::errc::file_exists;
            // What is there is opened, but a FIFO not yet, which would wait with signals held.
            if (code == std::errc::file_exists)
                code = door.open_existing(name.c_str(), false, file, created);
            if (!code) {
                take(opened, file, name, created || at_name, at_name, made);
                return opened;
            }
        }
        if (code == std::errc::device_or_resource_busy && wait.again()) continue;
        if (code == std::errc::no_such_device_or_address)
            code = door.open_existing(name.c_str(), true, file, created); // a FIFO: waits
        if (!code) {
            take(opened, file, name, false, false, made);
            return opened;
        }
        if (code == std::errc::no_such_file_or_directory && !door.creates_at_open) {
            opened.id.regular = true;
            opened.place = Place { folder_door().working_folder, name };
            return opened;
        }
        if (code != std::errc::no_such_file_or_directory || attempt >= 8)
            throw OpeningRefused(code, by_folder);
    }
}

// Removes the file at `name` in the working folder where this run would itself have replaced it,
// and it is still exactly as `at_start` saw it. Only a regular file at the name itself: a FIFO's
// reader must not see an end, and a link's target elsewhere is not this run's. Opened for
// writing, so that the system's own rules say whether this run could have written it; its
// content is kept.
void remove_if_replaceable(const std::string& name, const FileId& at_start)
{
    const FileDoor& door = file_door();
    const FolderDoor& folders = folder_door();
    FileId named;
    if (folders.identify_at(folders.working_folder, name.c_str(), named)
        || !same_state(at_start, named))
        return;
    Handle handle = kNoHandle;
    bool created = false;
    if (door.open_existing(name.c_str(), false, handle, created)) return;
    const OwnedFile file(handle);
    FileId opened;
    Place place;
    if (door.identify(file.get(), opened) || !same_file(opened, named)
        || locate(file.get(), name.c_str(), place))
        return;
    const OwnedFolder folder(place.folder);
    if (!place.name.empty() && replaceable(file.get(), place))
        remove_if_still(folders.working_folder, name.c_str(), named, true);
}

} // namespace

ResultFile::ResultFile(std::string name)
    : name_(std::move(name))
{
    const FolderDoor& folders = folder_door();
    // Before anything else: a result another run puts in place from now on is not stale.
    FileId found;
    if (!folders.identify_at(folders.working_folder, name_.c_str(), found) && found.regular)
        at_start_ = found;
    // After that look: a file put back here is never taken for this run's stale result.
    put_back_moved_aside(folders.working_folder, name_);
}

ResultOutput& ResultFile::open()
{
    Opened opened = open_as_writing_would(name_, &made_);
    if (!opened.id.regular) {
        output_ = std::make_unique<StreamOutput>(std::move(opened.file));
    } else {
        // A file that is not the one the run began with is another run's since.
        const bool stale = at_start_ && same_state(*at_start_, opened.id);
        output_ = file_output(std::move(opened), name_, stale);
    }
    return *output_;
}

LeftBehind ResultFile::abandon()
{
    if (output_) return output_->abandon();
    if (at_start_) remove_if_replaceable(name_, *at_start_);
    return left_at(Place { folder_door().working_folder, name_ }, at_start_.has_value(),
        made_ ? &*made_ : nullptr);
}
