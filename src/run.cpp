#include "run.h"

#include "console.h"
#include "files.h"
#include "memory.h"
#include "processors.h"
#include "render.h"
#include "reserving_storage.h"
#include "result_file.h"
#include "result_size.h"
#include "search.h"

#include <algorithm>
#include <new>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

// Sets aside the room for a result of known size, so that a result too large for the file
// system is refused at once instead of filling it first.
void reserve_room(Storage& storage, const ResultPlan& plan)
{
    if (plan.too_long) throw NoRoomForResult { plan.file_bytes(), true };
    try {
        storage.reserve(plan.file_bytes());
    } catch (const std::system_error& failure) {
        if (failure.code() == std::errc::no_space_on_device)
            throw NoRoomForResult { plan.file_bytes(), false };
        throw;
    }
}

// The size count's table may take what the options allow, but no more than the process can
// get: a table that outgrew the memory would end the run part-way instead of letting it write
// without a known size. While the table grows its old array (two thirds of the new one) lives
// beside it, and the rest of the run needs some room too.
std::uint64_t count_budget(const RunOptions& options)
{
    constexpr std::uint64_t kRestOfTheRun = std::uint64_t { 32 } << 20;
    const std::uint64_t available = available_memory();
    const std::uint64_t usable
        = available > kRestOfTheRun ? (available - kRestOfTheRun) * 3 / 5 : 0;
    return std::min(options.size_count_budget, usable);
}

} // namespace

void write_result(const Board& board, Storage& storage, const RunOptions& options)
{
    const Position king = damka_cords_find(board);
    if (king == kNoKing) {
        storage.write_at(0, kNoCapture.data(), kNoCapture.size());
        return;
    }
    const State start = state_of(board, king);
    // A pipe or device takes the bytes as they come: there is nothing to reserve, so the size
    // need not be known first.
    std::optional<ResultPlan> plan;
    if (storage.random_access())
        plan = plan_result(start, count_budget(options), usable_processors());
    if (plan) reserve_room(storage, *plan);
    const std::uint64_t counted = plan ? plan->file_bytes() : 0;
    std::uint64_t written = 0;
    if (plan) {
        written = render_result(start, std::move(*plan), storage, usable_processors());
    } else {
        // Without a known size, the result still never takes the file system's last room.
        try {
            ReservingStorage reserving(storage);
            written = write_captures(start, reserving);
        } catch (const ReservingStorage::RoomRunsOut& refusal) {
            throw NoRoomForResult { refusal.bytes, true };
        }
    }
    if (plan && written != counted)
        throw std::logic_error("the result came out at " + std::to_string(written) + " bytes where "
            + std::to_string(counted) + " were counted");
}

int run(std::ostream& errors, const RunOptions& options)
{
    std::unique_ptr<ResultOutput> output;
    try {
        const BoardReading reading = read_board_file(kBoardFileName);
        if (reading.error) {
            remove_stale_result(kResultFileName);
            errors << kBoardFileName;
            if (reading.error->line > 0) errors << ':' << reading.error->line;
            if (reading.error->column > 0) errors << ':' << reading.error->column;
            errors << ": " << reading.error->message << '\n';
            return 1;
        }
        output = open_result(kResultFileName);
        write_result(reading.board, *output, options);
        output->commit();
        return 0;
    } catch (const NoRoomForResult& refusal) {
        errors << kResultFileName << ": the result needs " << (refusal.at_least ? "more than " : "")
               << refusal.bytes << " bytes; no room for it on this file system\n";
    } catch (const std::system_error& failure) {
        errors << kResultFileName << ": cannot write the result: " << system_message(failure.code())
               << '\n';
    } catch (const std::bad_alloc&) {
        // Anywhere, reading the board included.
        errors << kResultFileName << ": cannot write the result: out of memory\n";
    } catch (const std::exception& failure) {
        errors << kResultFileName << ": internal error: " << failure.what() << '\n';
    }
    try {
        if (output)
            output->abandon();
        else
            remove_stale_result(kResultFileName);
    } catch (const std::exception&) {
        // Taking back is done as far as memory allows; the failure is said already.
    }
    return 1;
}
