#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "graph/graph_store.h"
#include "graph/held_array.h"

namespace corvane {

// The seeds of a call as contiguous native int64 values.
struct SeedArrays {
    HeldArray nodes;
    HeldArray times;  // empty: no seed times given
};

// How one edge type is sampled in this call.
struct EdgeTypeRequest {
    bool by_count = false;
    HeldArray counts;          // by count: one k per hop
    pybind11::object offsets;  // by time window: rows (lower or None, upper), one per hop
};

// What a call asks of each edge type, parallel to the sampler's edge types.
struct SampleRequest {
    std::vector<EdgeTypeRequest> edge_types;
    std::uint64_t num_hops = 0;
};

// Checks the request's dictionaries, seeds and entity table against the graph,
// first failure first, and returns the seeds ready to be read.
SeedArrays check_request_arguments(const GraphStore& graph, const pybind11::dict& num_neighbors,
                                   const pybind11::dict& sampling_time_offsets,
                                   const std::string& entity_table,
                                   const pybind11::array& seed_node,
                                   const pybind11::array& seed_time);

// Decides, edge type by edge type, whether it is sampled by count or by time
// window, checks what that needs, and fixes the number of hops.
SampleRequest read_edge_type_requests(const GraphStore& graph,
                                      const pybind11::dict& num_neighbors,
                                      const pybind11::dict& sampling_time_offsets);

}  // namespace corvane
