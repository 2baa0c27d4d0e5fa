#pragma once

#include <cstdint>
#include <vector>

namespace corvane {

// One recorded edge: the local indices of its source and destination nodes.
struct SampledEdge {
    std::int64_t row;  // source
    std::int64_t col;  // destination
};

// What one sample call collects hop by hop before it becomes the Python
// result, besides the sampled nodes themselves (kept by the call's node
// books). Empty whenever no call is running.
struct WorkingMaps {
    std::vector<std::vector<std::int64_t>> num_sampled_nodes;  // by node type: nodes added per hop
    std::vector<std::vector<std::int64_t>> num_sampled_edges;  // by key: edges recorded per hop
    std::vector<std::vector<SampledEdge>> sampled_edges;  // by key

    // Empties every list, keeping the storage for the next call; a call's
    // results never see another call's values.
    void clear() noexcept {
        for (auto* lists : {&num_sampled_nodes, &num_sampled_edges}) {
            for (auto& list : *lists) {
                list.clear();
            }
        }
        for (auto& edges : sampled_edges) {
            edges.clear();
        }
    }
};

}  // namespace corvane
