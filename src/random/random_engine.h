#pragma once

#include <cstdint>

#include "random/mt19937.h"

namespace corvane {

// The sampler's one source of randomness: a standard 32-bit Mersenne Twister
// (the published MT19937 sequence, as std::mt19937 produces it), so a given
// seed yields the same samples on every platform.
class RandomEngine {
public:
    RandomEngine() = default;
    explicit RandomEngine(std::uint32_t seed) : engine_(seed) {}

    // Restarts the sequence exactly as a fresh engine seeded with `seed`.
    void seed(std::uint32_t seed) { engine_.seed(seed); }

    // The next raw 32-bit output.
    std::uint32_t draw() { return engine_(); }

    // A value below `bound` (bound >= 1) from exactly one output, as the
    // remainder on 64-bit integers: no rejection of biased values, so the
    // number of outputs taken never depends on the values drawn.
    std::uint64_t draw_below(std::uint64_t bound) {
        const std::uint32_t value = draw();
        // The same remainder, through a 32-bit division (several times
        // cheaper than a 64-bit one on common CPUs) whenever the bound fits;
        // a larger bound exceeds every output, which is then its own
        // remainder.
        if (bound <= UINT32_MAX) {
            return value % static_cast<std::uint32_t>(bound);
        }
        return value;
    }

private:
    Mt19937 engine_;
};

}  // namespace corvane
