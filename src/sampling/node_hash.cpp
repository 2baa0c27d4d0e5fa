#include "sampling/node_hash.h"

#include <chrono>
#include <exception>
#include <random>

namespace corvane {

namespace {

std::uint64_t draw_word(std::random_device& source) {
    return (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

HashKey draw_key() {
    try {
        std::random_device source;
        return HashKey{draw_word(source), draw_word(source)};
    } catch (const std::exception&) {
        // No random source: what differs from run to run without one.
        static const int anchor = 0;
        const auto ticks =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        return HashKey{ticks * 0x9e3779b97f4a7c15ULL,
                       reinterpret_cast<std::uintptr_t>(&anchor) ^ (ticks >> 17)};
    }
}

}  // namespace

HashKey process_hash_key() {
    static const HashKey key = draw_key();
    return key;
}

}  // namespace corvane
