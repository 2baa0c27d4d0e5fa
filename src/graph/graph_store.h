#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph/edge_type.h"
#include "graph/held_array.h"

namespace corvane {

// The graph as the sampler holds it; fixed once construction is over.
struct GraphStore {
    std::vector<std::string> node_types;
    std::vector<EdgeType> edge_types;
    std::vector<std::string> edge_type_keys;  // parallel to edge_types
    // The same names as sets, for the key checks of every dictionary entry.
    std::unordered_set<std::string> node_type_set;
    std::unordered_set<std::string> edge_type_key_set;
    bool has_node_time = false;  // the node_time dictionary had an entry

    // Edge-type key to its compressed-sparse-column arrays.
    std::unordered_map<std::string, HeldArray> colptr_data;
    std::unordered_map<std::string, HeldArray> row_data;
    // Node type to its per-node timestamps, for the types that have them.
    std::unordered_map<std::string, HeldArray> node_time_data;
};

}  // namespace corvane
