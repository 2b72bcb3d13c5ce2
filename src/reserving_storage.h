#pragma once

#include "result_size.h"
#include "state.h"
#include "storage.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

/// The storage of a result that is written while its size is not known yet, for a writer that
/// appends in order. A prefix, a small share of the free room, is written blindly: a result
/// that ends within it is never counted. Once the writer is half-way there, the result's size is
/// counted on another thread; the writer goes past the prefix only when the count has ended and
/// the room for the whole result is reserved. A result past the room is refused (RoomRunsOut):
/// with its exact size where it is within the count's budget, a few times the room, else as
/// needing more than the budget. Both depend on the board and the room alone, never on how fast
/// the machine is or how much memory the count had. A storage written in place gets no prefix:
/// what is written there could not be taken back.
class ReservingStorage final : public Storage {
public:
    /// The prefix's share of the free room, and the most it takes. On a small file system the
    /// share is smaller still: the room over kFullShareFrom, so that many runs refused at once
    /// leave most of it free.
    static constexpr std::uint64_t kPrefixShare = 16;
    static constexpr std::uint64_t kFullShareFrom = std::uint64_t { 32 } << 30;
    static constexpr std::uint64_t kLongestPrefix = std::uint64_t { 1 } << 30;
    /// A result up to this is refused with its exact size: counting that far is quick.
    static constexpr std::uint64_t kLeastBudget = std::uint64_t { 64 } << 20;
    /// The count goes on past the room, for the exact size that tells the user what to free, up
    /// to this many times the room, and this far past it at most: on a big disk each byte more
    /// costs seconds, and a size past the disk is no more use to the user than a bound.
    static constexpr std::uint64_t kBudgetPerRoom = 4;
    static constexpr std::uint64_t kMostPastTheRoom = std::uint64_t { 4 } << 30;
    /// The count's memo takes at most this share of the budget, and this much at most: the
    /// memory the count needs grows with how far it must go, not with the machine.
    static constexpr std::uint64_t kBudgetPerMemoByte = 8;
    static constexpr std::uint64_t kMostMemo = std::uint64_t { 256 } << 20;

    /// The prefix written blindly into `room` bytes of free room.
    static std::uint64_t prefix_for(std::uint64_t room);
    /// How far the count goes for a result that meets `room` bytes of free room: a result up to
    /// this is refused with its exact size, a longer one as needing more than this.
    static std::uint64_t count_budget(std::uint64_t room);
    /// The most memory the count takes, where it must go up to `budget`.
    static std::uint64_t memo_for(std::uint64_t budget);

    /// Thrown when the result does not fit into the `room` there was: it needs `bytes`, or more
    /// than `bytes` (the count stopped there).
    struct RoomRunsOut {
        std::uint64_t bytes;
        bool at_least;
        std::uint64_t room;
    };

    /// Writes the result from `start` into `storage`, whose size the count works out with a memo
    /// of at most `count_memory` bytes.
    ReservingStorage(Storage& storage, const State& start, std::uint64_t count_memory);
    ~ReservingStorage() override;
    ReservingStorage(const ReservingStorage&) = delete;
    ReservingStorage& operator=(const ReservingStorage&) = delete;

    void write_at(std::uint64_t offset, const char* data, std::size_t size) override;
    void read_at(std::uint64_t offset, char* data, std::size_t size) override;
    void copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size) override;
    void reserve(std::uint64_t size) override;
    std::uint64_t free_room() const override { return storage_.free_room(); }

    /// Once the writer has written `written` bytes, all of the result: stops the count, and
    /// checks that it agrees where it ended.
    void finish(std::uint64_t written);

private:
    enum class Verdict { none, counted, refused, failed };
    // What the count has found of the result, with the lock held: whether it may go on.
    bool count_goes_on(std::uint64_t passed);

    // Lets the writer go on to `end`: at once within the prefix, then once the room is reserved.
    void reach(std::uint64_t end);
    void start_count();
    void count();
    void decide(Verdict verdict, std::uint64_t bytes, bool exact = true,
        std::exception_ptr failure = nullptr);
    void stop_count();

    Storage& storage_;
    State start_;
    std::uint64_t count_memory_;
    std::uint64_t room_; // free when the result began
    std::uint64_t budget_; // count_budget(room_)
    std::uint64_t prefix_; // written without a known size
    bool counting_ = false;
    bool reserved_ = false;
    std::thread counter_;

    std::mutex mutex_;
    std::condition_variable decided_;
    bool stop_ = false;
    Verdict verdict_ = Verdict::none;
    std::uint64_t bytes_ = 0; // counted: the result's; refused: what it needs, or passes
    bool exact_ = true; // refused: bytes_ is the result's size
    std::exception_ptr failure_;
};
