#include "run.h"

#include "console.h"
#include "memory.h"
#include "memory_room.h"
#include "messages.h"
#include "reserving_storage.h"
#include "result_file.h"
#include "search.h"

#include <algorithm>
#include <new>
#include <ostream>
#include <stdexcept>
#include <system_error>
#include <utility>

void write_result(const Board& board, Storage& storage, const RunOptions& options)
{
    const Position king = damka_cords_find(board);
    if (king == kNoKing) {
        storage.write_at(0, kNoCapture.data(), kNoCapture.size());
        return;
    }
    // Where a limit leaves less than the writer's least buffers, touching them would end the
    // process; refused, the run still says why.
    if (available_memory() < memory_reserve::kToWrite) throw std::bad_alloc();
    const State start = state_of(board, king);
    // A pipe or device takes the bytes as they come: there is nothing to reserve or take back,
    // so the size need not be known.
    if (!storage.random_access()) {
        write_captures(start, storage);
        return;
    }
    try {
        ReservingStorage reserving(storage, start, options.size_count_budget);
        reserving.finish(write_captures(start, reserving));
    } catch (const ReservingStorage::RoomRunsOut& refusal) {
        throw NoRoomForResult { refusal.bytes, refusal.at_least, refusal.room };
    }
}

namespace {

// The words a refused opening, or another failure of the system's, gives.
std::string failure_words(const std::system_error& failure)
{
    std::string reason = system_message(failure.code());
    const auto* refused = dynamic_cast<const OpeningRefused*>(&failure);
    if (refused != nullptr
        && (failure.code() == std::errc::permission_denied
            || failure.code() == std::errc::operation_not_permitted))
        reason += " ("
            + words_of(refused->by_folder ? Message::refused_by_folder : Message::refused_by_file)
            + ")";
    return words_of(Message::cannot_write, { reason });
}

} // namespace

int run(std::ostream& errors, const RunOptions& options)
{
    ResultFile result(kResultFileName);
    std::string about = kResultFileName; // the file the message is about, and where in it
    std::string what;
    try {
        const BoardReading reading = read_board_file(kBoardFileName);
        if (!reading.error) {
            ResultOutput& output = result.open();
            write_result(reading.board, output, options);
            output.commit();
            return 0;
        }
        about = kBoardFileName;
        if (reading.error->line > 0) about += ':' + std::to_string(reading.error->line);
        if (reading.error->column > 0) about += ':' + std::to_string(reading.error->column);
        what = reading.error->message;
    } catch (const NoRoomForResult& refusal) {
        what = refusal.at_least ? words_of(Message::needs_more_than,
                   { std::to_string(refusal.bytes), std::to_string(refusal.room) })
                                : words_of(Message::needs_bytes, { std::to_string(refusal.bytes) });
    } catch (const std::system_error& failure) {
        what = failure_words(failure);
    } catch (const std::bad_alloc&) {
        // Anywhere, reading the board included.
        what = words_of(Message::cannot_write, { words_of(Message::out_of_memory) });
    } catch (const std::exception& failure) {
        what = words_of(Message::internal_error, { failure.what() });
    }
    LeftBehind left = LeftBehind::nothing;
    try {
        left = result.abandon();
    } catch (const std::exception&) {
        // Taking back is done as far as memory allows; the failure is said all the same.
    }
    errors << about << ": " << what << left_words(left) << '\n';
    return 1;
}
