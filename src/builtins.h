#pragma once

#include <cstdint>

// The few compiler builtins the program uses, each with a plain standard fallback.

/// Asks the processor to start loading the cache line at `address`; only a hint.
inline void prefetch(const void* address)
{
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
    // GCC deems a function that only prefetches free of side effects, and drops the calls to it
    // (and to any small function built on it that it does not inline): an empty volatile asm
    // keeps them.
    __asm__ volatile("");
#else
    (void)address;
#endif
}

/// The high 64 bits of the 128-bit product a * b.
inline std::uint64_t multiply_high(std::uint64_t a, std::uint64_t b)
{
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 Wide;
    return static_cast<std::uint64_t>((static_cast<Wide>(a) * b) >> 64);
#else
    const std::uint64_t a_low = a & 0xffffffffU, a_high = a >> 32;
    const std::uint64_t b_low = b & 0xffffffffU, b_high = b >> 32;
    const std::uint64_t low_low = a_low * b_low;
    const std::uint64_t high_low = a_high * b_low;
    const std::uint64_t low_high = a_low * b_high;
    const std::uint64_t middle = (low_low >> 32) + (high_low & 0xffffffffU) + low_high;
    return a_high * b_high + (high_low >> 32) + (middle >> 32);
#endif
}
