#pragma once

// Primitives of the process's doors swapped for a test's own, while an object lives: the doors
// are the system's own again when it goes, however the test ends (a failed ASSERT returns early).
// A swapped primitive reaches the system's own through system_file_door() and its kin.

#include "file_door.h"

class SwappedDoor {
public:
    SwappedDoor() = default;
    ~SwappedDoor()
    {
        files = system_file_door();
        folders = system_folder_door();
        process = system_process_door();
    }
    SwappedDoor(const SwappedDoor&) = delete;
    SwappedDoor& operator=(const SwappedDoor&) = delete;

    FileDoor& files = file_door();
    FolderDoor& folders = folder_door();
    ProcessDoor& process = process_door();
};
