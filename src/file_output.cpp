// The result in a regular file. Its life is a stage (result_stages.h) and a record the opening
// fixed: which handle is written, whether bytes written can be taken back, what a failure or a
// signal takes back and what it leaves, all follow from the two. Everything acts on the handles
// the opening gave, never on the name looked up again, but for the removals, which check the name
// first.
#include "file_output.h"

#include "held_file_wait.h"
#include "memory.h"
#include "memory_room.h"
#include "result_place.h"
#include "result_stages.h"
#include "write_behind.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

constexpr std::size_t kWritebackEvery = std::size_t { 8 } << 20;
// Under a small memory limit the pages written but not yet on the disk count against it: they
// are sent on their way sooner.
constexpr std::size_t kWritebackEveryLeast = std::size_t { 1 } << 20;

// What the opening found, fixed from then on.
struct Record {
    FileId found; // the file at the name, as the opening found it
    Place place; // the folder proven to hold it, and its name there; an empty name if unproven
    Place at_name; // the result's name in the working folder
    bool created; // the opening made the file
    bool earlier; // a file was at the name, and the opening did not make it
    bool stale; // that file is the earlier result the run began with
    bool replaceable; // a new file at its place would differ only in content for every user

    // Once the run writes into the file at the name, the file is the run's own (a failure or a
    // signal takes it back) where the run made it, or where it is the earlier result that the
    // run would itself have replaced: given up, it would otherwise be left as part of the new
    // result.
    bool written_is_ours() const { return created || (stale && replaceable); }
};

Record record_of(const Opened& opened, const std::string& name, bool stale)
{
    const bool created = static_cast<bool>(opened.made);
    const bool earlier = opened.file.valid() && !created;
    // Nothing at the name: the result is made beside it, and named on commit.
    const bool replaceable = !opened.file.valid()
        || (!opened.place.name.empty() && ::replaceable(opened.file.get(), opened.place));
    return Record { opened.id, opened.place, Place { folder_door().working_folder, name }, created,
        earlier, stale && earlier, replaceable };
}

// The new result beside the old one.
struct NewFile {
    OwnedFile file;
    std::string name; // while it has one
    TakeBack owner; // while it has a name
};

class FileOutput final : public ResultOutput {
public:
    FileOutput(Opened opened, const std::string& name, bool stale)
        : record_(record_of(opened, name, stale))
        , named_(std::move(opened.file))
        , folder_(std::move(opened.folder))
        , ours_(std::move(opened.made))
    {
        if (named_.valid()) {
            readable_.reset(file_door().reopen_read_write(named_.get(), name.c_str()));
            if (!record_.place.name.empty()) remove_leftovers(record_.place);
        }
        if (record_.replaceable) make_new();
        stage_ = new_.file.valid() ? Stage::beside : Stage::in_place;
        check_stage();
    }
    ~FileOutput() override { write_behind_.stop(); }
    FileOutput(const FileOutput&) = delete;
    FileOutput& operator=(const FileOutput&) = delete;

    bool random_access() const override { return is_beside() || readable_.valid(); }
    bool writes_in_place() const override
    {
        return (stage_ == Stage::in_place || stage_ == Stage::written_in_place)
            && !record_.written_is_ours();
    }

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override
    {
        if (stage_ == Stage::in_place) first_write_in_place();
        write_fully(written(), offset, data, size);
        // Only bytes written count: a failure takes the file back to them.
        end_ = std::max(end_, offset + size);
        write_behind_.note_written(written(), size);
    }

    void read_at(std::uint64_t offset, char* data, std::size_t size) override
    {
        read_fully(written(), offset, data, size);
    }

    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override
    {
        copy_between(written(), from, written(), to, size);
        end_ = std::max(end_, to + size);
        write_behind_.note_written(written(), size);
    }

    void reserve(std::uint64_t size) override
    {
        const FileDoor& door = file_door();
        reserved_ = size;
        if (stage_ == Stage::beside) {
            const std::error_code code = allocate_in_room(written(), size);
            if (!code) return;
            if (code != std::errc::no_space_on_device || !fits_once_earlier_gone(size)) check(code);
            into_earlier_room();
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
        if (stage_ == Stage::in_place || (stage_ == Stage::beside && may_enter_earlier_room()))
            room += door.held_bytes(named_.get());
        return room;
    }

    void commit() override
    {
        const FileDoor& door = file_door();
        // An empty result replaces the old one too.
        if (stage_ == Stage::in_place) first_write_in_place();
        whole_ = end_;
        // A sync behind the writes that failed may have been the only one to see the failure.
        check(write_behind_.stop());
        check(door.truncate(written(), end_));
        check_sync(door.sync(written()));
        bool renamed = false;
        if (stage_ == Stage::beside) {
            advance(Step::finish);
            renamed = take_name();
        } else {
            check_still_named();
            ours_.keep();
            advance(Step::finish);
        }
        // The rename, or a file this run created, lasts only once its folder reaches the disk.
        if (!record_.place.name.empty() && (renamed || record_.created))
            check_sync(folder_door().sync_folder(record_.place.folder));
    }

    LeftBehind abandon() override
    {
        const Stage failed_in = stage_;
        if (failed_in == Stage::committed) return LeftBehind::new_result;
        if (failed_in == Stage::abandoned) return left_;
        write_behind_.stop();
        new_ = {};
        // The reserved room beyond what was written goes back to the file system.
        const bool wrote = failed_in == Stage::written_in_place;
        if (wrote) file_door().truncate(written(), end_);
        if (ours_) {
            ours_.take_back();
        } else if (record_.stale && record_.replaceable && failed_in != Stage::complete) {
            // The earlier result goes where this run would have replaced it, so that no stale
            // result outlives the failure, only at the name itself (never at the end of a link,
            // which the check does not follow), and only while it is exactly as the run found
            // it. Once the complete new result exists, the earlier one stays: only a moment's
            // lock kept the new one from its place.
            remove_if_still(
                record_.at_name.folder, record_.at_name.name.c_str(), record_.found, true);
        }
        advance(Step::fail);
        const bool located = !record_.place.name.empty();
        left_ = left_at(located ? record_.place : record_.at_name, record_.earlier,
            record_.created && !wrote ? &record_.found : nullptr, wrote ? &record_.found : nullptr,
            whole_, written());
        return left_;
    }

private:
    bool is_beside() const { return stage_ == Stage::beside || stage_ == Stage::complete; }

    // The handle the result goes through.
    Handle written() const { return is_beside() ? new_.file.get() : named_for_writing(); }

    // The file at the name, as the result is written into it.
    Handle named_for_writing() const { return readable_.valid() ? readable_.get() : named_.get(); }

    void advance(Step step)
    {
        const std::optional<Stage> next = take_step(stage_, step);
        if (!next) throw std::logic_error("the result file took a step its stage has no row for");
        stage_ = *next;
        check_stage();
    }

    // What each stage holds, checked at every step.
    void check_stage() const
    {
        const bool beside = new_.file.valid();
        bool holds = false;
        switch (stage_) {
        case Stage::beside:
            holds = beside && (!ours_ || record_.created);
            break;
        case Stage::complete:
            holds = beside && whole_ == end_ && (!ours_ || record_.created);
            break;
        case Stage::in_place:
            holds = !beside && named_.valid() && (!ours_ || record_.created);
            break;
        case Stage::written_in_place:
            holds = !beside && written() != kNoHandle
                && static_cast<bool>(ours_) == record_.written_is_ours();
            break;
        case Stage::committed:
        case Stage::abandoned:
            holds = !beside && !new_.owner && !ours_;
            break;
        }
        if (!holds) throw std::logic_error("the result file's stage does not hold");
    }

    // The file at the name emptied for this run's bytes, as the plain opening would empty it:
    // where that makes it the run's own, it is owned in the same step, with signals held, so
    // that no signal finds it emptied and not owned.
    void empty_named(Step step)
    {
        const SignalsHeld held;
        check(file_door().truncate(named_for_writing(), 0));
        if (ours_) {
            ours_.written_by_this_run();
        } else if (record_.written_is_ours()) {
            ours_ = TakeBack(record_.at_name, record_.found, false, true);
        }
        advance(step);
    }

    // The new result beside the old one, owned from its making; none where a file with the old
    // one's identity cannot be made there (it is written in place instead).
    void make_new()
    {
        const SignalsHeld held;
        std::string name;
        Handle made = kNoHandle;
        const std::error_code code
            = make_beside(record_.place, named_.get(), record_.created, made, name);
        if (!named_.valid() && code) throw OpeningRefused(code, true);
        new_.file.reset(made);
        new_.name = name;
        const Place named_beside { record_.place.folder, name };
        FileId id;
        if (new_.file.valid() && !name.empty() && identified(made, named_beside, id))
            new_.owner = TakeBack(named_beside, id, false, true);
    }

    // The earlier result may be emptied to make room: it is this run's to replace, and can be
    // read back once written into.
    bool may_enter_earlier_room() const
    {
        return record_.stale && record_.replaceable && readable_.valid();
    }

    bool fits_once_earlier_gone(std::uint64_t size) const
    {
        const FileDoor& door = file_door();
        return may_enter_earlier_room()
            && file_room(written()) + door.held_bytes(written()) + door.held_bytes(named_.get())
            >= size;
    }

    // The result fits only once the earlier one is gone, and its size is known: that file is
    // emptied, as the plain opening would, and what was written beside goes into it. Only while
    // it is exactly the file the run found: another writer's since is never emptied.
    void into_earlier_room()
    {
        // Looked up by its name: another run may have removed it as its stale result.
        FileId now;
        if (folder_door().identify_at(record_.place.folder, record_.place.name.c_str(), now)
            || !same_state(now, record_.found))
            check(std::make_error_code(std::errc::no_space_on_device));
        check(write_behind_.stop());
        const NewFile beside = std::exchange(new_, {});
        empty_named(Step::room_only_in_place);
        copy_between(beside.file.get(), 0, readable_.get(), 0, end_);
    }

    // The first write into the file at the name: its earlier content goes, as the plain opening
    // would discard it, and its room is reserved again (truncating frees the reserved blocks
    // with the old ones, even while a reader holds the file open).
    void first_write_in_place()
    {
        empty_named(Step::write_in_place);
        if (reserved_ > 0) check(allocate_in_room(written(), reserved_));
    }

    // A file written in place is the result only while its name still holds it (where that name
    // is proven, and can be looked at).
    void check_still_named() const
    {
        if (record_.place.name.empty()) return;
        FileId now;
        const std::error_code looked
            = folder_door().identify_at(record_.place.folder, record_.place.name.c_str(), now);
        if (looked == std::errc::no_such_file_or_directory
            || (!looked && !same_file(now, record_.found)))
            check(std::make_error_code(std::errc::no_such_file_or_directory));
    }

    // The new file takes the old one's name. Where the rename is refused all the same (busy,
    // not permitted, another device), the finished result is written in place instead: the old
    // result is never lost on the way to an error. True if renamed.
    bool take_name()
    {
        const FileDoor& door = file_door();
        if (!folder_door().renames_over_open_files) {
            readable_.reset();
            named_.reset();
        }
        const std::error_code refused = put_in_place_patiently();
        if (!refused) {
            ours_.keep();
            advance(Step::take_name);
            return true;
        }
        if (refused != std::errc::device_or_resource_busy
            && refused != std::errc::operation_not_permitted
            && refused != std::errc::permission_denied && refused != std::errc::cross_device_link
            && refused != std::errc::read_only_file_system)
            check(refused);
        if (!named_.valid()) reopen_earlier(refused);
        const Handle into = named_for_writing();
        // The room first, counting the earlier content's blocks: refused, the earlier result
        // stays as it was.
        check(allocate_in_room(into, end_));
        const NewFile beside = std::exchange(new_, {});
        empty_named(Step::copy_in_place);
        check(allocate_in_room(into, end_));
        copy_between(beside.file.get(), 0, into, 0, end_);
        check(door.truncate(into, end_));
        check_sync(door.sync(into));
        ours_.keep();
        advance(Step::finish);
        return false;
    }

    // Where a file held open by another program cannot be renamed over, the rename is tried
    // again for a short while.
    std::error_code put_in_place_patiently()
    {
        HeldFileWait wait;
        for (;;) {
            std::error_code refused;
            {
                const SignalsHeld held;
                refused = put_in_place(new_.file.get(), new_.name, record_.place);
                if (!refused) {
                    new_.owner.keep();
                    new_ = {};
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
    void reopen_earlier(std::error_code refused)
    {
        Handle file = kNoHandle;
        bool created = false;
        FileId id;
        if (!record_.found.regular
            || file_door().open_existing(record_.place.name.c_str(), false, file, created))
            check(refused);
        named_.reset(file);
        if (file_door().identify(file, id) || !same_file(id, record_.found)) check(refused);
    }

    const Record record_;
    OwnedFile named_; // the file at the name, as the opening opened it
    OwnedFile readable_; // the same file, open for reading too
    OwnedFolder folder_; // the place's, open while anything below may need it
    TakeBack ours_; // the file at the name, while it is the run's own
    NewFile new_; // beside and complete only
    Stage stage_ = Stage::in_place;
    LeftBehind left_ = LeftBehind::nothing; // once abandoned
    std::optional<std::uint64_t> whole_; // the result's size, once every byte is written
    std::uint64_t reserved_ = 0;
    std::uint64_t end_ = 0; // the end of what was written: the result's size
    WriteBehind write_behind_ { affordable_buffer(kWritebackEvery, kWritebackEveryLeast) };
};

} // namespace

std::unique_ptr<ResultOutput> file_output(Opened opened, const std::string& name, bool stale)
{
    return std::make_unique<FileOutput>(std::move(opened), name, stale);
}
