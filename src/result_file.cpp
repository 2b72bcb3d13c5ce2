// The result file's policy. The file is opened as the plain opening for writing opens it, only
// without discarding its content yet; everything after acts on that handle, never on the name
// looked up again, but for the removals, which check the name first.
#include "result_file.h"

#include "memory.h"
#include "memory_room.h"

#include "file_door.h"
#include "result_place.h"
#include "result_stages.h"
#include "take_back.h"
#include "write_behind.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
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
    SignalsHeld() { process_door().hold_signals(); }
    ~SignalsHeld() { process_door().release_signals(); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// A handle closed through the door when it goes: a file's, or a folder's.
template <auto kClose> class Owned {
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
        if (valid()) kClose(handle_);
        handle_ = handle;
    }

private:
    Handle handle_;
};
using OwnedFile = Owned<[](Handle file) { file_door().close(file); }>;
using OwnedFolder = Owned<[](Handle folder) { folder_door().close_folder(folder); }>;

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
    FileId id; // as the opening found it
    Place place; // the folder proven to hold a regular file, and its name there; none if unproven
    OwnedFolder folder; // place's folder
    TakeBack made; // the file the opening created, taken back with the run
};

// What a file this run wrote its own bytes into holds: `whole` is the size of the complete new
// result where every byte of it was written.
LeftBehind written_into(const FileId& now, std::optional<std::uint64_t> whole)
{
    if (now.size == 0) return LeftBehind::emptied;
    return now.size == whole ? LeftBehind::new_result : LeftBehind::part_written;
}

// What a failed run left where its result goes, looked at there: never what the run remembers
// having done, which another run may have undone meanwhile. `had_earlier`: a file was there when
// the run began. `made`: the file this run made there, as it made it; `wrote_into`: the file it
// wrote its own bytes into, and `whole` the size of the complete new result where every byte of
// it was written there.
LeftBehind left_at(const Place& where, bool had_earlier, const FileId* made,
    const FileId* wrote_into = nullptr, std::optional<std::uint64_t> whole = std::nullopt,
    Handle written = kNoHandle)
{
    FileId now;
    const std::error_code code = folder_door().identify_at(where.folder, where.name.c_str(), now);
    if (code == std::errc::no_such_file_or_directory)
        return had_earlier ? LeftBehind::earlier_removed : LeftBehind::nothing;
    if (code) {
        // A name that cannot be looked at: the file written into is looked at through its
        // handle; anything else there was not removed by this run.
        if (wrote_into != nullptr && !file_door().identify(written, now))
            return written_into(now, whole);
        return had_earlier ? LeftBehind::earlier_kept : LeftBehind::nothing;
    }
    if (!now.regular) return LeftBehind::nothing; // a link, a FIFO: no result
    if (made != nullptr && same_state(now, *made)) return LeftBehind::emptied;
    if (wrote_into != nullptr && same_file(now, *wrote_into)) return written_into(now, whole);
    // A result this run neither made nor wrote: the earlier one, or another run's since.
    return had_earlier ? LeftBehind::earlier_kept : LeftBehind::nothing;
}

// How long a step refused because another program holds the file open is tried again, where
// the system refuses such steps (Windows: an editor, a viewer, a virus scanner that opens the
// result for a moment).
constexpr std::chrono::milliseconds kHeldFileWait { 2000 };
constexpr std::chrono::milliseconds kLongestPause { 100 };

// The wait for a file another program holds open: such holds are usually brief.
class HeldFileWait {
public:
    /// Whether to try a refused step again, once paused: only where the system refuses steps on
    /// a file held open, and only for a short while.
    bool again()
    {
        if (folder_door().renames_over_open_files || std::chrono::steady_clock::now() >= give_up_)
            return false;
        std::this_thread::sleep_for(pause_);
        pause_ = std::min(pause_ * 2, kLongestPause);
        return true;
    }

private:
    std::chrono::steady_clock::time_point give_up_
        = std::chrono::steady_clock::now() + kHeldFileWait;
    std::chrono::milliseconds pause_ { 1 };
};

// A regular file as the result, in the stages of result_stages.h: written beside its name and
// put in place by a rename where that is invisible, else written in place. Writes may come from
// several threads once room is reserved.
class FileOutput final : public ResultOutput {
public:
    FileOutput(Opened opened, const std::string& name, bool stale)
        : target_(std::move(opened.file))
        , found_(opened.id)
        , place_(std::move(opened.place))
        , folder_(std::move(opened.folder))
        , made_(std::move(opened.made))
        , created_(static_cast<bool>(made_))
        , found_earlier_(target_.valid() && !created_)
        , stale_(stale && found_earlier_)
        , at_name_ { folder_door().working_folder, name }
    {
        const FileDoor& door = file_door();
        if (!target_.valid()) {
            // Nothing at the name: the result is made beside it, and named on commit.
            replaceable_ = true;
            make_new();
            stage_ = Stage::beside;
            return;
        }
        readable_.reset(door.reopen_read_write(target_.get(), name.c_str()));
        const bool located = !place_.name.empty();
        replaceable_ = located && replaceable(target_.get(), place_);
        if (located) remove_leftovers(place_);
        if (replaceable_) make_new();
        stage_ = new_.valid() ? Stage::beside : Stage::in_place;
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
        if (stage_.load(std::memory_order_acquire) == Stage::in_place) begin_in_place();
        write_fully(written(), offset, data, size);
        // Only bytes written count: a failure takes the file back to them.
        note_end(offset + size);
        write_behind_.note_written(written(), size);
    }

    void read_at(std::uint64_t offset, char* data, std::size_t size) override
    {
        read_fully(written(), offset, data, size);
    }

    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override
    {
        const std::uint64_t copied = file_door().copy_range(written(), from, written(), to, size);
        write_behind_.note_written(written(), copied);
        // Where the system cannot, or stopped short, through memory.
        copy_through_buffer(*this, from + copied, to + copied, size - copied);
        note_end(to + size);
    }

    void reserve(std::uint64_t size) override
    {
        const FileDoor& door = file_door();
        reserved_ = size;
        if (stage_ == Stage::beside) {
            const std::error_code code = allocate_in_room(new_.get(), size);
            if (!code) return;
            if (code != std::errc::no_space_on_device || !fits_once_earlier_gone(size)) check(code);
            move_in_place();
        }
        // In place, the file's own blocks count: the earlier content's go at the first write,
        // which reserves the room again.
        const std::error_code code = allocate_in_room(written(), size);
        if (code) {
            // Some file systems keep what they could allocate before the room ran out: given
            // back, so that a refused result leaves no room taken.
            FileId now;
            if (!door.identify(written(), now)) door.truncate(written(), now.size);
            check(code);
        }
    }

    std::uint64_t free_room() const override
    {
        const FileDoor& door = file_door();
        std::uint64_t room = file_room(written());
        // Room reserved that the file system does not hold yet (where it only compared) is
        // this output's own already.
        const std::uint64_t held = door.held_bytes(written());
        room -= std::min(room, reserved_ > held ? reserved_ - held : 0);
        // The earlier result's room counts wherever the new result would replace it.
        if (stage_ == Stage::in_place || (stage_ == Stage::beside && may_write_in_place()))
            room += door.held_bytes(target_.get());
        return room;
    }

    void commit() override
    {
        const FileDoor& door = file_door();
        const FolderDoor& folders = folder_door();
        if (stage_ == Stage::in_place) begin_in_place(); // an empty result replaces the old one too
        whole_ = end_.load();
        // A sync behind the writes that failed may have been the only one to see the failure.
        check(write_behind_.stop());
        check(door.truncate(written(), end_.load()));
        check_sync(door.sync(written()));
        bool renamed = false;
        if (stage_ == Stage::beside) {
            advance(Step::finish);
            renamed = take_name();
        }
        if (stage_ == Stage::written_in_place) {
            // A file written in place is the result only while its name still holds it (where
            // that name is proven, and can be looked at).
            FileId now;
            if (!place_.name.empty()) {
                const std::error_code looked
                    = folders.identify_at(place_.folder, place_.name.c_str(), now);
                if (looked == std::errc::no_such_file_or_directory
                    || (!looked && !same_file(now, found_)))
                    check(std::make_error_code(std::errc::no_such_file_or_directory));
            }
            advance(Step::finish);
        }
        made_.keep();
        // The rename, or a file this run created, lasts only once its folder reaches the disk.
        if (!place_.name.empty() && (renamed || created_))
            check_sync(folders.sync_folder(place_.folder));
        drop_new(); // others may open the result as they please
    }

    LeftBehind abandon() override
    {
        const Stage failed_in = stage_;
        if (failed_in == Stage::committed) return LeftBehind::new_result;
        if (failed_in == Stage::abandoned) return left_;
        write_behind_.stop();
        advance(Step::fail);
        drop_new();
        const bool wrote = failed_in == Stage::written_in_place;
        // The reserved room beyond what was written goes back to the file system.
        if (wrote) file_door().truncate(written(), end_.load());
        if (made_) {
            made_.take_back();
        } else if (replaceable_ && stale_ && failed_in != Stage::complete) {
            // The earlier result goes where this run would have replaced it, so that no stale
            // result outlives the failure, only at the name itself (never at the end of a link,
            // which the check does not follow), and only while it is exactly as the run found it
            // or holds nothing but this run's own bytes. Once the complete new result exists,
            // the earlier one stays: only a moment's lock kept the new one from its place.
            remove_if_still(at_name_.folder, at_name_.name.c_str(), found_, !wrote);
        }
        const bool located = !place_.name.empty();
        left_ = left_at(located ? place_ : at_name_, found_earlier_,
            created_ && !wrote ? &found_ : nullptr, wrote ? &found_ : nullptr, whole_, written());
        return left_;
    }

private:
    void advance(Step step)
    {
        const std::optional<Stage> next = stage_after(stage_, step);
        if (!next) throw std::logic_error("the result file took a step its stage has no row for");
        stage_.store(*next, std::memory_order_release);
    }

    // The new result beside the old one, owned from its making; none where a file with the old
    // one's identity cannot be made there.
    void make_new()
    {
        const SignalsHeld held;
        std::string name;
        Handle made = kNoHandle;
        const std::error_code code = make_beside(place_, target_.get(), created_, made, name);
        // With a file at the name, it is written in place instead.
        if (!target_.valid() && code) throw OpeningRefused(code, true);
        new_.reset(made);
        FileId id;
        if (new_.valid() && !name.empty()
            && identified(new_.get(), Place { place_.folder, name }, id))
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

    // The earlier result may be emptied to make room: it is this run's to replace, and can be
    // read back once written into.
    bool may_write_in_place() const { return replaceable_ && stale_ && readable_.valid(); }

    bool fits_once_earlier_gone(std::uint64_t size) const
    {
        const FileDoor& door = file_door();
        return may_write_in_place()
            && file_room(new_.get()) + door.held_bytes(new_.get()) + door.held_bytes(target_.get())
            >= size;
    }

    // The result fits only once the earlier one is gone: that file is emptied, as the plain
    // opening would, and what was written beside goes into it. Only while it is exactly the
    // file the run found: another writer's since is never emptied.
    void move_in_place()
    {
        const FileDoor& door = file_door();
        const FolderDoor& folders = folder_door();
        // Looked up by its name: another run may have removed it as its stale result.
        FileId now;
        if (folders.identify_at(place_.folder, place_.name.c_str(), now)
            || !same_state(now, found_))
            check(std::make_error_code(std::errc::no_space_on_device));
        check(write_behind_.stop());
        check(door.truncate(readable_.get(), 0));
        advance(Step::room_only_in_place);
        copy_file(new_.get(), readable_.get(), end_.load());
        drop_new();
    }

    // The first write into the file at the name: its earlier content goes, as the plain opening
    // would discard it, and its room is reserved again (truncating frees the reserved blocks
    // with the old ones, even while a reader holds the file open).
    void begin_in_place()
    {
        const std::lock_guard lock(first_write_);
        if (stage_ != Stage::in_place) return;
        const FileDoor& door = file_door();
        made_.written_by_this_run();
        check(door.truncate(written(), 0));
        advance(Step::write_in_place);
        if (reserved_ > 0) check(allocate_in_room(written(), reserved_));
    }

    // The new file takes the old one's name. Where the rename is refused all the same (busy,
    // not permitted, another device), the finished result is written in place instead: the old
    // result is never lost on the way to an error. True if renamed.
    bool take_name()
    {
        const FileDoor& door = file_door();
        const FolderDoor& folders = folder_door();
        if (!folders.renames_over_open_files) {
            readable_.reset();
            target_.reset();
        }
        const std::error_code refused = put_in_place_patiently();
        if (!refused) {
            advance(Step::take_name);
            return true;
        }
        if (refused != std::errc::device_or_resource_busy
            && refused != std::errc::operation_not_permitted
            && refused != std::errc::permission_denied && refused != std::errc::cross_device_link
            && refused != std::errc::read_only_file_system)
            check(refused);
        if (!target_.valid()) reopen_old(refused);
        const std::uint64_t size = end_.load();
        const Handle into = readable_.valid() ? readable_.get() : target_.get();
        // The room first, counting the earlier content's blocks: refused, the earlier result
        // stays as it was.
        check(allocate_in_room(into, size));
        check(door.truncate(into, 0));
        advance(Step::copy_in_place);
        check(allocate_in_room(into, size));
        copy_file(new_.get(), into, size);
        check(door.truncate(into, size));
        check_sync(door.sync(into));
        advance(Step::finish);
        drop_new();
        return false;
    }

    // Where a file held open by another program cannot be renamed over, the rename is tried
    // again for a short while: such holds are usually brief.
    std::error_code put_in_place_patiently()
    {
        HeldFileWait wait;
        for (;;) {
            std::error_code refused;
            {
                const SignalsHeld held;
                refused = put_in_place(new_.get(), new_name_, place_);
                if (!refused) {
                    new_owner_.keep();
                    new_name_.clear();
                    return refused;
                }
            }
            // Windows answers either way for a file held open.
            const bool held_open = refused == std::errc::permission_denied
                || refused == std::errc::device_or_resource_busy;
            if (!held_open || !wait.again()) return refused;
        }
    }

    // The earlier result, opened again after its handles went for the rename: only the very
    // file the run began with will do, else the refusal stands.
    void reopen_old(std::error_code refused)
    {
        Handle file = kNoHandle;
        bool created = false;
        FileId id;
        if (!found_.regular || file_door().open_existing(place_.name.c_str(), false, file, created))
            check(refused);
        target_.reset(file);
        if (file_door().identify(file, id) || !same_file(id, found_)) check(refused);
    }

    // The handle the result goes through.
    Handle written() const
    {
        if (new_.valid()) return new_.get();
        return readable_.valid() ? readable_.get() : target_.get();
    }

    void note_end(std::uint64_t end)
    {
        std::uint64_t seen = end_.load(std::memory_order_relaxed);
        while (seen < end && !end_.compare_exchange_weak(seen, end, std::memory_order_relaxed)) { }
    }

    OwnedFile target_; // the file as the opening opened it
    OwnedFile readable_; // the same file, open for reading too
    FileId found_; // as the opening found it
    Place place_; // the folder proven to hold the file, and its name there; none if unproven
    OwnedFolder folder_; // place_'s, open while anything below may need it
    TakeBack made_;
    bool created_;
    bool found_earlier_; // the opening found a file there, and did not make it
    bool stale_; // the file found is the one the run began with
    Place at_name_; // the name in the working folder
    bool replaceable_ = false; // decided once, at the opening
    OwnedFile new_; // the new result while it is written beside the old one
    std::string new_name_; // its name, while it has one
    TakeBack new_owner_;
    std::atomic<Stage> stage_ { Stage::in_place };
    std::mutex first_write_; // one thread makes the first write into the file at the name
    LeftBehind left_ = LeftBehind::nothing; // once abandoned
    std::optional<std::uint64_t> whole_; // the result's size, once every byte is written
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
    const FolderDoor& folders = folder_door();
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
            opened.place = Place { folders.working_folder, name };
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

std::optional<FileId> result_at_start(const std::string& name)
{
    const FolderDoor& folders = folder_door();
    FileId found;
    if (folders.identify_at(folders.working_folder, name.c_str(), found) || !found.regular)
        return std::nullopt;
    return found;
}

std::unique_ptr<ResultOutput> open_result(
    const std::string& name, const std::optional<FileId>* at_start, std::optional<FileId>* made)
{
    Opened opened = open_as_writing_would(name, made);
    if (!opened.id.regular) return std::make_unique<StreamOutput>(std::move(opened.file));
    // A file that is not the one the run began with is another run's since.
    const bool stale = !at_start || (*at_start && same_state(**at_start, opened.id));
    return std::make_unique<FileOutput>(std::move(opened), name, stale);
}

LeftBehind remove_stale_result(const std::string& name, const std::optional<FileId>& at_start,
    const std::optional<FileId>& made)
{
    const FolderDoor& folders = folder_door();
    if (at_start) remove_if_replaceable(name, *at_start);
    return left_at(
        Place { folders.working_folder, name }, at_start.has_value(), made ? &*made : nullptr);
}
