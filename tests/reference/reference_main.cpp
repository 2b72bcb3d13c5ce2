// The plain procedure as a program of its own, for timing it against runel.

#include "reference_search.h"
#include "run.h"

#include <fstream>
#include <iostream>

int main()
{
    const BoardReading reading = read_board_file(kBoardFileName);
    if (reading.error) {
        std::cerr << kBoardFileName << ": " << reading.error->message << '\n';
        return 1;
    }
    std::ofstream(kResultFileName, std::ios::binary) << reference_result(reading.board);
    return 0;
}
