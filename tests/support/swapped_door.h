#pragma once

// Primitives of the process's door swapped for a test's own, while an object lives: the door is
// the system's own again when it goes, however the test ends (a failed ASSERT returns early).
// A swapped primitive reaches the system's own through system_file_door().

#include "file_door.h"

class SwappedDoor {
public:
    SwappedDoor() = default;
    ~SwappedDoor() { file_door() = system_file_door(); }
    SwappedDoor(const SwappedDoor&) = delete;
    SwappedDoor& operator=(const SwappedDoor&) = delete;

    FileDoor& operator*() const { return file_door(); }
    FileDoor* operator->() const { return &file_door(); }
};
