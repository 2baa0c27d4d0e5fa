#pragma once

#include <cstdint>

namespace corvane {

constexpr std::uintptr_t kCacheLineBytes = 64;

// Whether two addresses lie in one cache line.
inline bool same_line(const void* first, const void* second) {
    return reinterpret_cast<std::uintptr_t>(first) / kCacheLineBytes ==
           reinterpret_cast<std::uintptr_t>(second) / kCacheLineBytes;
}

// Asks for the cache line holding `address`; never faults, reads nothing.
// On x86-64 it is an asm statement rather than __builtin_prefetch: the
// compiler treats the builtin as free of effects and deletes loops that
// consist only of prefetches once it has inlined them, which removed every
// prefetch of the frontier loop in an earlier build.
inline void prefetch_line(const void* address) {
#if defined(__x86_64__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}

}  // namespace corvane
