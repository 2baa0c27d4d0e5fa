#pragma once

#include <string>
#include <tuple>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "graph/edge_type.h"
#include "graph/graph_store.h"
#include "graph/held_array.h"
#include "random/random_engine.h"
#include "sampling/call_state_pool.h"

namespace corvane {

// (sampled_rows, sampled_cols, sampled_nodes, sampled_batches,
//  num_sampled_nodes, num_sampled_edges)
using SampleResult = std::tuple<pybind11::dict, pybind11::dict, pybind11::dict, pybind11::dict,
                                pybind11::dict, pybind11::dict>;

// A heterogeneous graph in compressed sparse column form, one array pair per
// edge type, with optional per-node times, and the engine that draws sampled
// neighbourhoods around batches of seeds.
class NeighborSampler {
public:
    // Checks the dictionaries of arrays and records a view of every array; the
    // arrays are referenced, never walked, so this costs the same for any
    // graph size.
    NeighborSampler(const std::vector<std::string>& node_types,
                    const std::vector<EdgeType>& edge_types, pybind11::dict colptr,
                    pybind11::dict row, pybind11::dict node_time, int seed);

    SampleResult sample(pybind11::dict num_neighbors, pybind11::dict sampling_time_offsets,
                        std::string entity_table, pybind11::array seed_node,
                        pybind11::array seed_time);

private:
    // Holds dict[name] (KeyError if absent) and returns its view.
    Int64View hold(const pybind11::dict& dict, const std::string& name);
    void hold_edge_type_arrays(const pybind11::dict& colptr, const pybind11::dict& row);
    void hold_node_times(const pybind11::dict& node_time);

    GraphStore graph_;
    std::vector<HeldArray> held_arrays_;  // the owners of every view in graph_
    RandomEngine generator_;
    // Bookkeeping of the running call, reused by the next, and by a sampler
    // built later once this one is gone.
    PooledCallState call_;
};

}  // namespace corvane
