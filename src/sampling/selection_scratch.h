#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

// The count selections of one chunk of frontier nodes, planned before any
// node of the chunk is admitted: the offsets drawn for its random subsets, k
// per subset, in node order.
struct SelectionPlan {
    std::vector<std::int64_t> chosen;
    std::size_t next = 0;  // the first offset not admitted yet
};

// Working storage of random selections, reused from one selection (and one
// call) to the next so that selecting allocates nothing in the steady state.
struct SelectionScratch {
    std::vector<std::int64_t> taken;        // offsets marked in taken_bytes
    std::vector<std::uint8_t> taken_bytes;  // one per candidate; zero between selections
    std::vector<std::int64_t> taken_slots;  // hashed offsets; all free between selections
    SelectionPlan plan;                     // the chunk being expanded
};

}  // namespace corvane
