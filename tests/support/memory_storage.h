#pragma once

#include "storage.h"

#include <cstdint>
#include <limits>
#include <string>

/// Storage in a string, for tests and fuzzing. Made with `random_access` false it stands for a
/// pipe: it then insists that bytes come in order and are never read back. It may stand for a
/// file system of `room` bytes (writes and reservations beyond fail with ENOSPC), and for a
/// file written in place.
class MemoryStorage final : public Storage {
public:
    explicit MemoryStorage(bool random_access = true)
        : random_access_(random_access)
    {
    }
    void write_at(std::uint64_t offset, const char* data, std::size_t size) override;
    void read_at(std::uint64_t offset, char* data, std::size_t size) override;
    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override;
    void reserve(std::uint64_t size) override;
    std::uint64_t free_room() const override;
    bool random_access() const override { return random_access_; }
    bool writes_in_place() const override { return in_place_; }
    const std::string& bytes() const { return bytes_; }

    void set_room(std::uint64_t room) { room_ = room; }
    void set_in_place(bool in_place) { in_place_ = in_place; }

private:
    void take_room(std::uint64_t end) const;

    std::string bytes_;
    bool random_access_;
    bool in_place_ = false;
    std::uint64_t room_ = std::numeric_limits<std::uint64_t>::max();
};
