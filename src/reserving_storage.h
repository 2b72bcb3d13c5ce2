#pragma once

#include "storage.h"

#include <cstdint>

/// The storage of a result whose size is not known (its count did not fit in memory), for a
/// writer that appends in order: room is reserved ahead of the writes in steps, and the result is
/// refused (RoomRunsOut) once it would take more than half the room that was free when it began:
/// the file system, which others share, keeps the other half, and is never filled to find out.
class ReservingStorage final : public Storage {
public:
    /// The share of the free room that a result of unknown size may take.
    static constexpr std::uint64_t kShareOfFreeRoomNumerator = 1;
    static constexpr std::uint64_t kShareOfFreeRoomDenominator = 2;

    /// Thrown when the result needs more than `bytes`.
    struct RoomRunsOut {
        std::uint64_t bytes;
    };

    explicit ReservingStorage(Storage& storage);

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override;
    void read_at(std::uint64_t offset, char* data, std::size_t size) override;
    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override;
    void reserve(std::uint64_t size) override;
    bool random_access() const override { return storage_.random_access(); }

private:
    // Makes sure the room up to `end` is reserved, a step ahead.
    void reach(std::uint64_t end);

    Storage& storage_;
    std::uint64_t limit_; // the most the result may take
    std::uint64_t reserved_ = 0;
};
