#pragma once

#include <cstdint>

namespace corvane {

// One sampled node: the seed whose tree it belongs to and its global id.
struct SampledNode {
    std::int64_t batch;
    std::int64_t node;
};

}  // namespace corvane
