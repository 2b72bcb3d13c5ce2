#pragma once

// A reader at a FIFO, on a thread of its own, for the tests whose result goes into one (POSIX
// only). It opens the FIFO at once, without waiting, so that the program under test finds a
// reader whenever it opens it; and reads until it is told the run is over, so that a run that
// never opens the FIFO cannot leave it waiting.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

class FifoReader {
public:
    /// Reads `fifo`; with `keep`, goes away once it has that many bytes, as a reader that
    /// stops reading early does.
    explicit FifoReader(const std::filesystem::path& fifo, std::size_t keep = SIZE_MAX)
        : fd_(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC))
        , keep_(keep)
        , thread_([this] { read_until_over(); })
    {
    }
    ~FifoReader() { finish(); }
    FifoReader(const FifoReader&) = delete;
    FifoReader& operator=(const FifoReader&) = delete;

    /// Once the run is over: what the reader got.
    const std::string& finish()
    {
        over_ = true;
        if (thread_.joinable()) thread_.join();
        return bytes_;
    }

private:
    void read_until_over()
    {
        static thread_local char chunk[1 << 16];
        for (;;) {
            const bool over = over_;
            const ssize_t got = fd_ < 0 ? 0 : ::read(fd_, chunk, sizeof chunk);
            if (got > 0) {
                bytes_.append(chunk, static_cast<std::size_t>(got));
                if (bytes_.size() < keep_) continue;
            } else if (!over) {
                // Nothing yet, or no writer yet: a FIFO read without waiting says so alike.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (fd_ >= 0) ::close(fd_);
            fd_ = -1;
            return;
        }
    }

    int fd_;
    std::size_t keep_;
    std::atomic<bool> over_ = false;
    std::string bytes_;
    std::thread thread_;
};
