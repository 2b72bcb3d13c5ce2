#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

/// Bytes of memory the process can still take before the system (or its container, or a limit
/// set on the process) refuses it or kills the process; a cautious estimate.
std::uint64_t available_memory();

/// Zero-filled memory whose pages cost nothing until they are touched. Blocks of tens of
/// megabytes are asked to be backed by huge pages where the system has them, since the tables
/// that use them are read at random and would otherwise spend their time on address
/// translation. (A smaller block would pay for zeroing whole huge pages it mostly never touches.)
class ZeroedBlock {
public:
    ZeroedBlock() = default;
    /// `bytes` of zeroed memory; data() is nullptr if the system has none to give.
    explicit ZeroedBlock(std::size_t bytes);
    ~ZeroedBlock();
    ZeroedBlock(ZeroedBlock&& other) noexcept;
    ZeroedBlock& operator=(ZeroedBlock&& other) noexcept;
    ZeroedBlock(const ZeroedBlock&) = delete;
    ZeroedBlock& operator=(const ZeroedBlock&) = delete;

    void* data() const { return data_; }

private:
    void* data_ = nullptr;
    std::size_t bytes_ = 0;
};

/// An array of `count` zero-filled T in a ZeroedBlock.
template <class T> class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t count)
        : block_(count * sizeof(T))
    {
    }
    explicit operator bool() const { return block_.data() != nullptr; }
    T& operator[](std::size_t i) const { return static_cast<T*>(block_.data())[i]; }
    T* get() const { return static_cast<T*>(block_.data()); }

private:
    ZeroedBlock block_;
};
