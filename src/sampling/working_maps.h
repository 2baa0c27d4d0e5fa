#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane {

using WorkingMap = std::unordered_map<std::string, std::vector<std::int64_t>>;

// One recorded edge: the local indices of its source and destination nodes.
struct SampledEdge {
    std::int64_t row;  // source
    std::int64_t col;  // destination
};

// What one sample call collects hop by hop before it becomes the Python
// result, besides the sampled nodes themselves (kept by the call's node
// books). Empty whenever no call is running.
struct WorkingMaps {
    WorkingMap num_sampled_nodes;  // node type -> nodes added per hop
    WorkingMap num_sampled_edges;  // edge-type key -> edges recorded per hop
    std::unordered_map<std::string, std::vector<SampledEdge>> sampled_edges;  // edge-type key

    // Empties every list. The entries and their storage stay for the next
    // call, which re-creates the same keys; a call's results never see
    // another call's values.
    void clear() noexcept {
        for (WorkingMap* map : {&num_sampled_nodes, &num_sampled_edges}) {
            for (auto& entry : *map) {
                entry.second.clear();
            }
        }
        for (auto& entry : sampled_edges) {
            entry.second.clear();
        }
    }
};

}  // namespace corvane
