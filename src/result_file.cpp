// The result file's policy. The file is opened as the plain opening for writing opens it, only
// without discarding its content yet; everything after acts on that handle, never on the name
// looked up again, but for the removals, which check the name first.
#include "result_file.h"

#include "memory.h"

#include "file_door.h"
#include "take_back.h"
#include "write_behind.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

namespace {

void check(std::error_code code)
{
    if (code) throw std::system_error(code);
}

// Syncing is checked like any write, but for a file the system says cannot be synced at all.
void check_sync(std::error_code code)
{
    if (code != std::errc::operation_not_supported) check(code);
}

// Holds back the signals that would end the process while it lives.
class SignalsHeld {
public:
    SignalsHeld() { file_door().hold_signals(); }
    ~SignalsHeld() { file_door().release_signals(); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// A handle closed through the door when it goes: a file's, or a folder's.
template <void (*FileDoor::*kClose)(Handle)> class Owned {
public:
    explicit Owned(Handle handle = kNoHandle)
        : handle_(handle)
    {
    }
    ~Owned() { reset(); }
    Owned(Owned&& other) noexcept
        : handle_(other.release())
    {
    }
    Owned& operator=(Owned&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Handle get() const { return handle_; }
    bool valid() const { return handle_ != kNoHandle; }
    Handle release() { return std::exchange(handle_, kNoHandle); }
    void reset(Handle handle = kNoHandle)
    {
        if (valid()) (file_door().*kClose)(handle_);
        handle_ = handle;
    }

private:
    Handle handle_;
};
using OwnedFile = Owned<&FileDoor::close>;
using OwnedFolder = Owned<&FileDoor::close_folder>;

// Moves all `size` bytes at `offset`, in as many calls as the system takes. A call that moves
// none is a fault: a read of bytes written before, or a write that makes no progress.
template <class Bytes,
    std::error_code (*FileDoor::*kMove)(Handle, std::uint64_t, Bytes*, std::size_t, std::size_t&)>
void fully(Handle file, std::uint64_t offset, Bytes* data, std::size_t size)
{
    while (size > 0) {
        std::size_t done = 0;
        check((file_door().*kMove)(file, offset, data, size, done));
        if (done == 0) check(std::make_error_code(std::errc::io_error));
        data += done;
        size -= done;
        offset += done;
    }
}
constexpr auto write_fully = fully<const char, &FileDoor::write_at>;
constexpr auto read_fully = fully<char, &FileDoor::read_at>;

// Copies `size` bytes from the start of `in` to the start of `out`.
void copy_file(Handle in, Handle out, std::uint64_t size)
{
    std::uint64_t copied = file_door().copy_range(in, 0, out, 0, size);
    std::vector<char> chunk(affordable_buffer(std::size_t { 1 } << 20, std::size_t { 64 } << 10));
    while (copied < size) {
        const auto part
            = static_cast<std::size_t>(std::min<std::uint64_t>(size - copied, chunk.size()));
        read_fully(in, copied, chunk.data(), part);
        write_fully(out, copied, chunk.data(), part);
        copied += part;
    }
}

constexpr std::size_t kWritebackEvery = std::size_t { 8 } << 20;
// Under a small memory limit the pages written but not yet on the disk count against it: they
// are sent on their way sooner.
constexpr std::size_t kWritebackEveryLeast = std::size_t { 1 } << 20;

// What the opening found or made at the name.
struct Opened {
    OwnedFile file;
    FileId id;
    Place place; // the folder proven to hold a regular file, and its name there; none if unproven
    OwnedFolder folder; // place's folder
    TakeBack made; // the file the opening created, taken back with the run
    bool stale = true; // still the file the run began with, for a failure to remove
};

// A regular file as the result: written beside its name and put in place by a rename where that
// is invisible, else written in place. Writes may come from several threads once room is
// reserved.
class FileOutput final : public ResultOutput {
public:
    FileOutput(Opened opened, const std::string& name)
        : target_(std::move(opened.file))
        , info_(opened.id)
        , place_(std::move(opened.place))
        , folder_(std::move(opened.folder))
        , made_(std::move(opened.made))
        , created_(static_cast<bool>(made_))
        , stale_(opened.stale)
        , at_name_ { file_door().working_folder, name }
    {
        const FileDoor& door = file_door();
        if (!target_.valid()) {
            // Nothing at the name: the result is made beside it, and named on commit.
            replaceable_ = true;
            make_new();
            return;
        }
        readable_.reset(door.reopen_read_write(target_.get(), name.c_str()));
        const bool located = !place_.name.empty();
        replaceable_ = located && door.replaceable(target_.get(), place_);
        if (located) door.remove_leftovers(place_);
        if (replaceable_) make_new();
    }
    ~FileOutput() override
    {
        write_behind_.stop();
        drop_new();
    }
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    bool random_access() const override { return new_.valid() || readable_.valid(); }
    bool writes_in_place() const override { return !new_.valid() && !created_; }

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        if (!new_.valid()) discard_old();
        note_end(offset + size);
        write_fully(written(), offset, data, size);
        write_behind_.note_written(written(), size);
    }

    void read_at(std::uint64_t offset, char* data, std::size_t size) override
    {
        read_fully(written(), offset, data, size);
    }

    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override
    {
        note_end(to + size);
        const std::uint64_t copied = file_door().copy_range(written(), from, written(), to, size);
        write_behind_.note_written(written(), copied);
        // Where the system cannot, or stopped short, through memory.
        copy_through_buffer(*this, from + copied, to + copied, size - copied);
    }

    void reserve(std::uint64_t size) override
    {
        reserved_ = size;
        if (new_.valid()) {
            const std::error_code code = file_door().allocate(new_.get(), size);
            if (!code) return;
            // The old result's room comes free only once it is discarded. Where that makes the
            // difference, discard it as the plain opening would have, and write in place:
            // truncating frees its blocks even while a reader holds it open. (Where even that
            // is too little, the old result is refused before it is discarded.)
            if (code != std::errc::no_space_on_device || !readable_.valid() || !target_.valid())
                check(code);
            drop_new();
        }
        reserve_in_place(target_.get(), size);
    }

    std::uint64_t free_room() const override
    {
        const FileDoor& door = file_door();
        std::uint64_t room = door.free_room(written());
        // Room reserved that the file system does not hold yet (where it only compared) is
        // this output's own already.
        const std::uint64_t held = door.held_bytes(written());
        room -= std::min(room, reserved_ > held ? reserved_ - held : 0);
        if (!new_.valid() && !discarded_ && target_.valid()) room += door.held_bytes(target_.get());
        return room;
    }

    void commit() override
    {
        if (!new_.valid()) discard_old(); // an empty result still replaces the old one
        // A sync behind the writes that failed may have been the only one to see the failure.
        check(write_behind_.stop());
        check(file_door().truncate(written(), end_.load()));
        check_sync(file_door().sync(written()));
        const bool renamed = new_.valid() && put_in_place();
        committed_ = true;
        made_.keep();
        // The rename, or a file this run created, lasts only once its folder reaches the disk.
        if (!place_.name.empty() && (renamed || created_))
            check_sync(file_door().sync_folder(place_.folder));
        drop_new(); // others may open the result as they please
    }

    LeftBehind abandon() override
    {
        if (committed_) return LeftBehind::new_result;
        write_behind_.stop();
        drop_new();
        if (created_ || !target_.valid()) {
            made_.take_back();
            return LeftBehind::nothing;
        }
        // The earlier result goes where it would have been replaced, and only while it is the
        // very file that was there, at the name itself (never at the end of a link, which the
        // check does not follow): a file written in place is left as the plain opening would
        // leave it.
        const bool removed = replaceable_ && stale_
            && remove_if_still(at_name_.folder, at_name_.name.c_str(), info_, !changed_.load());
        replaceable_ = false;
        if (removed) return LeftBehind::earlier_removed;
        return discarded_ ? LeftBehind::part_written : LeftBehind::earlier_kept;
    }

private:
    // The new result beside the old one, owned from its making; none where a file with the old
    // one's identity cannot be made there.
    void make_new()
    {
        const SignalsHeld held;
        std::string name;
        Handle made = kNoHandle;
        const std::error_code code
            = file_door().make_beside(place_, target_.get(), created_, made, name);
        // With a file at the name, it is written in place instead.
        if (!target_.valid() && code) throw OpeningRefused(code, true);
        new_.reset(made);
        FileId id;
        if (new_.valid() && !name.empty() && !file_door().identify(new_.get(), id))
            new_owner_ = TakeBack(Place { place_.folder, name }, id, false, true);
        new_name_ = name;
    }

    // Lets the new file go: one without a name goes with its handle.
    void drop_new()
    {
        new_owner_.take_back();
        new_name_.clear();
        new_.reset();
    }

    // The new file takes the old one's name. Where the rename is refused all the same (busy,
    // not permitted, another device), the finished result is written in place instead: the old
    // result is never lost on the way to an error. True if renamed.
    bool put_in_place()
    {
        std::error_code refused;
        if (!file_door().renames_over_open_files) {
            readable_.reset();
            target_.reset();
        }
        {
            const SignalsHeld held;
            refused = file_door().put_in_place(new_.get(), new_name_, place_);
            if (!refused) {
                new_owner_.keep();
                new_name_.clear();
                return true;
            }
        }
        if (refused != std::errc::device_or_resource_busy
            && refused != std::errc::operation_not_permitted
            && refused != std::errc::permission_denied && refused != std::errc::cross_device_link
            && refused != std::errc::read_only_file_system)
            check(refused);
        if (!target_.valid()) reopen_old(refused);
        const std::uint64_t size = end_.load();
        const Handle into = readable_.valid() ? readable_.get() : target_.get();
        reserve_in_place(into, size);
        copy_file(new_.get(), into, size);
        check(file_door().truncate(into, size));
        check_sync(file_door().sync(into));
        drop_new();
        return false;
    }

    // The earlier result, opened again after its handles went for the rename: only the very
    // file the run began with will do, else the refusal stands.
    void reopen_old(std::error_code refused)
    {
        Handle file = kNoHandle;
        bool created = false;
        FileId id;
        if (!info_.regular || file_door().open_existing(place_.name.c_str(), false, file, created))
            check(refused);
        target_.reset(file);
        if (file_door().identify(file, id) || !same_file(id, info_)) check(refused);
    }

    // The handle the result goes through.
    Handle written() const
    {
        if (new_.valid()) return new_.get();
        return readable_.valid() ? readable_.get() : target_.get();
    }

    // Before this run first changes the file itself: from then on what the file holds is this
    // run's to take back, whatever another run wrote into it before.
    void claim_contents()
    {
        if (!changed_.exchange(true)) made_.written_by_this_run();
    }

    // What the plain opening does first: the old content goes.
    void discard_old()
    {
        if (discarded_.load(std::memory_order_relaxed)) return;
        claim_contents();
        if (target_.valid()) check(file_door().truncate(target_.get(), 0));
        discarded_ = true;
    }

    // Room for `size` bytes in the file itself. Refused before the old content goes where the
    // result cannot fit even in its room; asked for again once it has gone, since the old
    // content's blocks go with it.
    void reserve_in_place(Handle file, std::uint64_t size)
    {
        claim_contents();
        std::error_code code;
        if (!discarded_) code = file_door().allocate(file, size);
        if (!code) {
            discard_old();
            code = file_door().allocate(file, size);
        }
        check(code);
    }

    void note_end(std::uint64_t end)
    {
        std::uint64_t seen = end_.load(std::memory_order_relaxed);
        while (seen < end && !end_.compare_exchange_weak(seen, end, std::memory_order_relaxed)) { }
    }

    OwnedFile target_; // the file as the opening opened it
    OwnedFile readable_; // the same file, open for reading too
    FileId info_; // as the run found it
    Place place_; // the folder proven to hold the file, and its name there; none if unproven
    OwnedFolder folder_; // place_'s, open while anything below may need it
    TakeBack made_;
    bool created_;
    bool stale_; // the earlier result is the one the run began with
    Place at_name_; // the name in the working folder
    bool replaceable_ = false;
    OwnedFile new_; // the new result while it is written beside the old one
    std::string new_name_; // its name, while it has one
    TakeBack new_owner_;
    std::atomic<bool> discarded_ { false }; // the old content has gone
    std::atomic<bool> changed_ { false }; // this run has begun to change the file itself
    bool committed_ = false;
    std::uint64_t reserved_ = 0;
    // The end of what was written: the result's size. Writes may come from several threads.
    std::atomic<std::uint64_t> end_ { 0 };
    WriteBehind write_behind_ { affordable_buffer(kWritebackEvery, kWritebackEveryLeast) };
};

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
// through its folder.
void take(Opened& opened, Handle file, const std::string& name)
{
    const FileDoor& door = file_door();
    opened.file.reset(file);
    check(door.identify(file, opened.id));
    if (!opened.id.regular) return;
    check(door.locate(file, name.c_str(), opened.place));
    opened.folder = OwnedFolder(opened.place.folder);
}

// The plain opening for writing, without discarding the content. A file the opening made (at
// the name, or at the end of a dangling link) is the run's to take back, from the moment it
// exists: signals wait meanwhile.
Opened open_as_writing_would(const std::string& name)
{
    const FileDoor& door = file_door();
    Opened opened;
    // A name that comes and goes between the two opens is tried again, a few times.
    for (int attempt = 0;; ++attempt) {
        Handle file = kNoHandle;
        bool created = false;
        bool by_folder = false;
        std::error_code code;
        {
            const SignalsHeld held;
            code = door.creates_at_open ? door.create_new(name.c_str(), file)
                                        : std::make_error_code(std::errc::file_exists);
            created = !code;
            // Creating refused, with nothing at the name: the folder's refusal.
            by_folder = code && code != std::errc::file_exists;
            // What is there is opened, but a FIFO not yet, which would wait with signals held.
            if (code == std::errc::file_exists)
                code = door.open_existing(name.c_str(), false, file, created);
            if (!code) {
                take(opened, file, name);
                if (created && opened.id.regular) {
                    // Made at the name itself (creating never follows a link), or at the end
                    // of a dangling link, which the located place names.
                    FileId named;
                    const bool at_name = !door.identify_at(door.working_folder, name.c_str(), named)
                        && same_file(named, opened.id);
                    const Place made = at_name ? Place { door.working_folder, name } : opened.place;
                    if (!made.name.empty()) opened.made = TakeBack(made, opened.id, true, true);
                }
                return opened;
            }
        }
        if (code == std::errc::no_such_device_or_address)
            code = door.open_existing(name.c_str(), true, file, created); // a FIFO: waits
        if (!code) {
            take(opened, file, name);
            return opened;
        }
        if (code == std::errc::no_such_file_or_directory && !door.creates_at_open) {
            opened.id.regular = true;
            opened.place = Place { door.working_folder, name };
            return opened;
        }
        if (code != std::errc::no_such_file_or_directory || attempt == 8)
            throw OpeningRefused(code, by_folder);
    }
}

} // namespace

std::optional<FileId> result_at_start(const std::string& name)
{
    const FileDoor& door = file_door();
    FileId found;
    if (door.identify_at(door.working_folder, name.c_str(), found) || !found.regular)
        return std::nullopt;
    return found;
}

std::unique_ptr<ResultOutput> open_result(
    const std::string& name, const std::optional<FileId>* at_start)
{
    Opened opened = open_as_writing_would(name);
    // A file that is not the one the run began with is another run's since.
    opened.stale = !at_start || (*at_start && same_state(**at_start, opened.id));
    if (!opened.id.regular) return std::make_unique<StreamOutput>(std::move(opened.file));
    return std::make_unique<FileOutput>(std::move(opened), name);
}

LeftBehind remove_stale_result(const std::string& name, const std::optional<FileId>& at_start)
{
    // Only a regular file at the name itself: a FIFO's reader must not see an end, and a link's
    // target elsewhere is not this run's. Opened for writing, so that the system's own rules say
    // whether this run could have written it; its content is kept.
    const FileDoor& door = file_door();
    FileId named;
    FileId opened;
    Handle handle = kNoHandle;
    bool created = false;
    if (door.identify_at(door.working_folder, name.c_str(), named)) return LeftBehind::nothing;
    if (!named.regular) return LeftBehind::nothing; // a link, a FIFO, a device: no result
    if (!at_start || !same_state(*at_start, named)) return LeftBehind::earlier_kept;
    if (door.open_existing(name.c_str(), false, handle, created)) return LeftBehind::earlier_kept;
    const OwnedFile file(handle);
    Place place;
    if (door.identify(file.get(), opened) || !same_file(opened, named)
        || door.locate(file.get(), name.c_str(), place))
        return LeftBehind::earlier_kept;
    const OwnedFolder folder(place.folder);
    return !place.name.empty() && door.replaceable(file.get(), place)
            && remove_if_still(door.working_folder, name.c_str(), named, true)
        ? LeftBehind::earlier_removed
        : LeftBehind::earlier_kept;
}
