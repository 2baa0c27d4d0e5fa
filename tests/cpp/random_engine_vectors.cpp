// Prints the engine outputs that the test suite compares with the published
// MT19937 sequence, one per line.
#include <cstdint>
#include <iostream>

#include "random/random_engine.h"

int main() {
    corvane::RandomEngine engine;

    engine.seed(123);
    for (int i = 0; i < 5; ++i) {
        std::cout << engine.draw() << '\n';
    }

    engine.seed(5489);
    std::uint32_t value = 0;
    for (int i = 0; i < 10000; ++i) {
        value = engine.draw();
    }
    std::cout << value << '\n';

    engine.seed(static_cast<std::uint32_t>(std::int32_t{-1}));
    std::cout << engine.draw() << '\n';

    // Re-seeding restarts the sequence whatever came before.
    engine.seed(123);
    std::cout << engine.draw() << '\n';

    // One draw per value, reduced as a 64-bit remainder.
    engine.seed(123);
    std::cout << engine.draw_below(8) << ' ' << engine.draw_below(9) << ' ' << engine.draw_below(10)
              << ' ' << engine.draw_below(std::uint64_t{1} << 40) << '\n';

    // Bounds at the edges of 32 bits, and above 2**31, where a narrower or
    // signed reduction would go wrong.
    engine.seed(123);
    std::cout << engine.draw_below(2991312381) << ' ' << engine.draw_below(3062119789) << ' '
              << engine.draw_below(4294967295) << ' ' << engine.draw_below(4294967296) << ' '
              << engine.draw_below(4294967297) << ' ' << engine.draw_below(1) << '\n';
    return 0;
}
