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
    std::cout << engine.draw_below(8) << ' ' << engine.draw_below(9) << ' '
              << engine.draw_below(10) << ' ' << engine.draw_below(std::uint64_t{1} << 40) << '\n';
    return 0;
}
