#include "run.h"

#include "result_file.h"
#include "search.h"

#include <ostream>
#include <system_error>

void write_result(const Board& board, Storage& storage)
{
    Appender out(storage);
    pathes.clear();
    const Position king = damka_cords_find(board);
    if (king != kNoKing) logic(board, king, "");
    if (pathes.empty()) out.append("No", 2);
    for (const std::string& path : pathes) {
        out.append(path.data(), path.size());
        out.append('\n');
    }
    out.flush();
    pathes.clear();
}

int run(std::ostream& errors)
{
    const BoardReading reading = read_board_file(kBoardFileName);
    if (reading.error) {
        remove_stale_file(kResultFileName);
        errors << kBoardFileName;
        if (reading.error->line > 0) errors << ':' << reading.error->line;
        errors << ": " << reading.error->message << '\n';
        return 1;
    }
    try {
        PendingFile file(kResultFileName);
        FileStorage storage(file.fd());
        write_result(reading.board, storage);
        file.commit();
    } catch (const std::system_error& failure) {
        remove_stale_file(kResultFileName);
        errors << kResultFileName << ": cannot write the result: " << failure.code().message()
               << '\n';
        return 1;
    }
    return 0;
}
