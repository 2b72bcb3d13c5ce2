#include "reserving_storage.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>

ReservingStorage::ReservingStorage(Storage& storage, const State& start, std::uint64_t count_memory)
    : storage_(storage)
    , start_(start)
    , count_memory_(count_memory)
    , room_(storage.free_room())
    , budget_(count_budget(room_))
    , prefix_(storage.writes_in_place() ? 0 : prefix_for(room_))
{
}

std::uint64_t ReservingStorage::prefix_for(std::uint64_t room)
{
    if (room == 0) return 0;
    return std::min(room / std::max(kPrefixShare, kFullShareFrom / room), kLongestPrefix);
}

std::uint64_t ReservingStorage::count_budget(std::uint64_t room)
{
    const std::uint64_t past = std::min(room * (kBudgetPerRoom - 1), kMostPastTheRoom);
    return std::min(std::max(kLeastBudget, room + past), kLongestCountedText);
}

std::uint64_t ReservingStorage::memo_for(std::uint64_t budget)
{
    return std::min(budget / kBudgetPerMemoByte, kMostMemo);
}

ReservingStorage::~ReservingStorage()
{
    stop_count();
}

void ReservingStorage::start_count()
{
    counting_ = true;
    try {
        counter_ = std::thread([this] { count(); });
    } catch (const std::system_error&) {
        // No thread to spare: the writer waits for the count as it would at the prefix's end.
        count();
    }
}

void ReservingStorage::count()
{
    try {
        const CountWatch watch = [this](std::uint64_t passed) {
            const std::lock_guard lock(mutex_);
            return count_goes_on(passed);
        };
        const std::optional<ResultSize> size
            = count_result(start_, std::min(count_memory_, memo_for(budget_)), watch);
        // A count that ended past the budget, between two looks of the watch, says what one
        // that stopped there says: the words do not depend on where the looks fell.
        if (size && size->file_bytes() <= budget_)
            decide(Verdict::counted, size->file_bytes());
        else
            decide(Verdict::refused, budget_, false); // unless the watch decided first
    } catch (...) {
        decide(Verdict::failed, 0, true, std::current_exception());
    }
}

bool ReservingStorage::count_goes_on(std::uint64_t passed)
{
    if (stop_) return false;
    if (passed < budget_) return true;
    verdict_ = Verdict::refused;
    bytes_ = budget_; // the result passes `passed`, so more than the budget
    exact_ = false;
    decided_.notify_all();
    return false;
}

void ReservingStorage::decide(
    Verdict verdict, std::uint64_t bytes, bool exact, std::exception_ptr failure)
{
    const std::lock_guard lock(mutex_);
    if (verdict_ != Verdict::none || stop_) return;
    verdict_ = verdict;
    bytes_ = bytes;
    exact_ = exact;
    failure_ = std::move(failure);
    decided_.notify_all();
}

void ReservingStorage::stop_count()
{
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    if (counter_.joinable()) counter_.join();
}

void ReservingStorage::reach(std::uint64_t end)
{
    if (reserved_) return;
    if (!counting_ && end > prefix_ / 2) start_count();
    if (!counting_) return;
    std::unique_lock lock(mutex_);
    if (end > prefix_) decided_.wait(lock, [this] { return verdict_ != Verdict::none; });
    switch (verdict_) {
    case Verdict::none:
        return;
    case Verdict::refused:
        throw RoomRunsOut { bytes_, !exact_, room_ };
    case Verdict::failed:
        std::rethrow_exception(failure_);
    case Verdict::counted:
        break;
    }
    const std::uint64_t size = bytes_;
    lock.unlock();
    try {
        storage_.reserve(size);
    } catch (const std::system_error& failure) {
        if (failure.code() == std::errc::no_space_on_device)
            throw RoomRunsOut { size, false, room_ };
        throw;
    }
    reserved_ = true;
}

void ReservingStorage::write_at(std::uint64_t offset, const char* data, std::size_t size)
{
    reach(offset + size);
    storage_.write_at(offset, data, size);
}

void ReservingStorage::read_at(std::uint64_t offset, char* data, std::size_t size)
{
    storage_.read_at(offset, data, size);
}

void ReservingStorage::copy_within(std::uint64_t from, std::uint64_t to, std::uint64_t size)
{
    reach(to + size);
    storage_.copy_within(from, to, size);
}

void ReservingStorage::reserve(std::uint64_t size)
{
    reach(size);
}

void ReservingStorage::finish(std::uint64_t written)
{
    stop_count();
    if (verdict_ == Verdict::counted && bytes_ != written)
        throw std::logic_error("the result came out at " + std::to_string(written) + " bytes where "
            + std::to_string(bytes_) + " were counted");
}
