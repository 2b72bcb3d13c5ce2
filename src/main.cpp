#include "result_file.h"
#include "run.h"

#include <csignal>
#include <iostream>

int main()
{
    // A file size limit then shows up as a failed write, which the run reports and cleans up
    // after, instead of killing the program with its temporary file in place.
    std::signal(SIGXFSZ, SIG_IGN);
    remove_pending_file_on_signals();
    return run(std::cerr);
}
