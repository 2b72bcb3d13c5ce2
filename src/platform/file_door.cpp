// The process's door, the same on every system: the system's own table, copied before main()
// begins, so that it is whole before any signal handler can read it.
#include "file_door.h"

namespace {

FileDoor door = system_file_door();

} // namespace

FileDoor& file_door()
{
    return door;
}
