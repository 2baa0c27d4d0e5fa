// What every floor reads of a request: per edge type its arrays and what each
// hop selects from them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace floor_bench {

// One edge type's selection in one hop: k neighbours, or a time window
// (seed time + lower, seed time + upper], without a lower end when lower is
// empty.
struct HopParameter {
    bool window = false;
    std::int64_t k = 0;
    std::optional<std::int64_t> lower;
    std::int64_t upper = 0;
};

// An edge type by its node types' indices, its arrays and its hops; a hop
// past the list selects nothing.
struct EdgeTypeArrays {
    int source;
    int destination;
    const std::int64_t* colptr;
    const std::int64_t* row;
    std::vector<HopParameter> hops;

    HopParameter at(std::size_t hop) const {
        return hop < hops.size() ? hops[hop] : HopParameter{};
    }
};

}  // namespace floor_bench
