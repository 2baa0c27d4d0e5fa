#pragma once

#include <string>

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

// Checks the request's dictionaries, seeds and entity table against the graph,
// first failure first, and returns the seeds ready to be read.
SeedArrays check_request_arguments(const GraphStore& graph, const pybind11::dict& num_neighbors,
                                   const pybind11::dict& sampling_time_offsets,
                                   const std::string& entity_table,
                                   const pybind11::array& seed_node,
                                   const pybind11::array& seed_time);

}  // namespace corvane
