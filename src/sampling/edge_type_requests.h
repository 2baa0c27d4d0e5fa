#pragma once

#include <cstdint>
#include <vector>

#include <pybind11/pybind11.h>

#include "graph/graph_store.h"
#include "graph/held_array.h"
#include "sampling/hop_parameter.h"

namespace corvane {

// How one edge type is sampled in this call.
struct EdgeTypeRequest {
    bool by_count = false;
    HeldArray counts;          // by count: one k per hop
    pybind11::object offsets;  // by time window: rows (lower or None, upper), one per hop
};

// What a call asks of each edge type, parallel to the graph's edge types.
// Counts are read from their held arrays; a time window's row is converted
// when its hop asks for it.
class SampleRequest final : public HopParameters {
public:
    std::uint64_t num_hops() const override { return num_hops_; }
    HopParameter at(std::size_t edge_type, std::uint64_t hop) const override;

private:
    friend SampleRequest read_edge_type_requests(const GraphStore&, const pybind11::dict&,
                                                 const pybind11::dict&);
    std::vector<EdgeTypeRequest> edge_types_;
    std::uint64_t num_hops_ = 0;
};

// Decides, edge type by edge type, whether it is sampled by count or by time
// window, checks what that needs, and fixes the number of hops.
SampleRequest read_edge_type_requests(const GraphStore& graph, const pybind11::dict& num_neighbors,
                                      const pybind11::dict& sampling_time_offsets);

}  // namespace corvane
