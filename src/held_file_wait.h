#pragma once

// Where the system refuses a step on a file another program holds open (Windows: an editor, a
// viewer, a virus scanner that opens the result for a moment), the step is tried again for a
// short while: such holds are usually brief.

#include "file_door.h"

#include <algorithm>
#include <chrono>
#include <thread>

class HeldFileWait {
public:
    /// Whether to try a refused step again, once paused: only where the system refuses steps on
    /// a file held open, and only for a short while.
    bool again()
    {
        if (folder_door().renames_over_open_files || std::chrono::steady_clock::now() >= give_up_)
            return false;
        std::this_thread::sleep_for(pause_);
        pause_ = std::min(pause_ * 2, kLongestPause);
        return true;
    }

private:
    static constexpr std::chrono::milliseconds kWait { 2000 };
    static constexpr std::chrono::milliseconds kLongestPause { 100 };
    std::chrono::steady_clock::time_point give_up_ = std::chrono::steady_clock::now() + kWait;
    std::chrono::milliseconds pause_ { 1 };
};
