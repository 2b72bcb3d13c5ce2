// runel_plain: reads Runel_in.txt and writes Runel_out.txt in the working directory by the plain
// search that runel is timed against.

#include "board.h"
#include "plain_search.h"

#include <cstdio>

int main()
{
    const BoardReading reading = read_board_file("Runel_in.txt");
    if (reading.error) {
        std::fprintf(stderr, "Runel_in.txt: %s\n", reading.error->message.c_str());
        return 1;
    }
    std::FILE* out = std::fopen("Runel_out.txt", "wb");
    if (out == nullptr) {
        std::perror("Runel_out.txt");
        return 1;
    }
    write_plain_result(reading.board, out);
    return std::fclose(out) == 0 ? 0 : 1;
}
