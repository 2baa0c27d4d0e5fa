#pragma once

#include <memory>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "graph/neighbor_sampler.h"

namespace corvane {

// The Python constructor: turns `node_time` into a dict (any mapping or
// iterable of pairs goes through Python's dict(); a dict is used as it is)
// and builds the sampler.
std::unique_ptr<NeighborSampler> make_neighbor_sampler(std::vector<std::string> node_types,
                                                       std::vector<EdgeType> edge_types,
                                                       pybind11::dict colptr, pybind11::dict row,
                                                       pybind11::object node_time, int seed);

}  // namespace corvane
