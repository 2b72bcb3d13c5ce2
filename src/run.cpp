#include "run.h"

#include "console.h"
#include "files.h"
#include "memory.h"
#include "reserving_storage.h"
#include "search.h"

#include <algorithm>
#include <new>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

// The size count's memo may take what the options allow, but no more than the process can get,
// less what the rest of the run needs: a memo that outgrew the memory would end the run
// part-way. While the memo doubles its old array (half of the new one) lives beside it.
std::uint64_t count_memory(const RunOptions& options)
{
    constexpr std::uint64_t kRestOfTheRun = std::uint64_t { 32 } << 20;
    const std::uint64_t available = available_memory();
    const std::uint64_t usable
        = available > kRestOfTheRun ? (available - kRestOfTheRun) / 3 * 2 : 0;
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
    // A pipe or device takes the bytes as they come: there is nothing to reserve or take back,
    // so the size need not be known.
    if (!storage.random_access()) {
        write_captures(start, storage);
        return;
    }
    try {
        ReservingStorage reserving(storage, start, count_memory(options));
        reserving.finish(write_captures(start, reserving));
    } catch (const ReservingStorage::RoomRunsOut& refusal) {
        throw NoRoomForResult { refusal.bytes, refusal.at_least };
    }
}

int run(std::ostream& errors, const RunOptions& options)
{
    const BoardReading reading = read_board_file(kBoardFileName);
    if (reading.error) {
        remove_stale_result(kResultFileName);
        errors << kBoardFileName;
        if (reading.error->line > 0) errors << ':' << reading.error->line;
        errors << ": " << reading.error->message << '\n';
        return 1;
    }
    std::unique_ptr<ResultOutput> output;
    try {
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
        errors << kResultFileName << ": cannot write the result: out of memory\n";
    } catch (const std::exception& failure) {
        errors << kResultFileName << ": internal error: " << failure.what() << '\n';
    }
    if (output)
        output->abandon();
    else
        remove_stale_result(kResultFileName);
    return 1;
}
