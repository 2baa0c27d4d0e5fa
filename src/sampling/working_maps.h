#pragma once

#include <cstddef>
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

    // Counter lists of up to this many entries keep their storage between
    // calls.
    static constexpr std::size_t kKeptCounters = 4096;

    // Empties every list, keeping the storage for the next call; a call's
    // results never see another call's values. A counter list with room for
    // more than kKeptCounters entries gives its storage back instead: its
    // room follows the hops a request claimed (reserved in full before the
    // first hop), which later calls rarely need and which a failed or
    // interrupted call must not leave with the sampler.
    void clear() noexcept {
        for (auto* lists : {&num_sampled_nodes, &num_sampled_edges}) {
            for (auto& list : *lists) {
                if (list.capacity() > kKeptCounters) {
                    std::vector<std::int64_t>().swap(list);
                } else {
                    list.clear();
                }
            }
        }
        for (auto& edges : sampled_edges) {
            edges.clear();
        }
    }
};

}  // namespace corvane
