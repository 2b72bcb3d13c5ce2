// The process's doors, the same on every system: the system's own tables, copied before main()
// begins, so that they are whole before any signal handler can read them.
#include "file_door.h"

namespace {

FileDoor files = system_file_door();
FolderDoor folders = system_folder_door();
ProcessDoor process = system_process_door();

} // namespace

FileDoor& file_door()
{
    return files;
}

FolderDoor& folder_door()
{
    return folders;
}

ProcessDoor& process_door()
{
    return process;
}
