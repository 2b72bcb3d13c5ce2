#pragma once

#include <cstdlib>
#include <memory>
#include <type_traits>

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

/// An array of `count` zero-filled T, or nullptr if memory ran out. calloc hands out large
/// blocks as fresh pages from the system, so only the slots a table touches ever cost anything.
template <class T> using ZeroedArray = std::unique_ptr<T[], FreeDeleter>;

template <class T> ZeroedArray<T> zeroed_array(std::size_t count)
{
    static_assert(std::is_trivially_copyable_v<T>);
    return ZeroedArray<T>(static_cast<T*>(std::calloc(count, sizeof(T))));
}
