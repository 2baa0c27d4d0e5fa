#pragma once

#include <cstdint>
#include <vector>

namespace corvane {

// Working storage of random selections, reused from one selection (and one
// call) to the next so that selecting allocates nothing in the steady state.
struct SelectionScratch {
    std::vector<std::int64_t> taken;        // offsets marked in taken_bytes
    std::vector<std::uint8_t> taken_bytes;  // one per candidate; zero between selections
    std::vector<std::int64_t> taken_slots;  // hashed offsets; all free between selections
    std::vector<std::int64_t> chosen;       // the offsets drawn for one chunk
    std::vector<std::int64_t> chosen_ahead;  // and for the chunk after it
};

}  // namespace corvane
