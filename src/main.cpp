#include "console.h"
#include "file_door.h"
#include "run.h"
#include "take_back.h"

#include <sstream>

int main()
{
    prepare_process(take_back_on_signal);
    // The messages are gathered first and written in one go, in the characters that standard
    // error takes (a console on Windows wants UTF-16, not the bytes of the message).
    std::ostringstream errors;
    const int status = run(errors);
    write_error_text(errors.str());
    return status;
}
