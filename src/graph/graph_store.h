#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/int64_view.h"
#include "graph/edge_type.h"

namespace corvane {

// The graph as the sampler holds it, fixed once construction is over.
//
// Every name is resolved to a number at construction: node types are rows of
// one table, each named once, and every edge type names its source and
// destination by their row. A call keeps its books, frontiers and counters in
// vectors with the same indices, so nothing below the binding looks a name up
// while a call runs. The arrays are views; the sampler holds their owners.

// One distinct node type. The types named in node_types come first, in that
// order; a type that only an edge type names follows them, unlisted: its
// nodes can be admitted but never get a frontier and are never reported.
struct NodeTypeRecord {
    std::string name;
    bool listed = false;
    bool has_time = false;  // node_time has an entry for it (which may be empty)
    Int64View time;
};

// One edge type as listed (a type listed twice is expanded twice).
struct EdgeTypeRecord {
    EdgeType type;
    std::string key;
    std::size_t key_index = 0;  // into edge_type_keys; shared by the same type listed twice
    std::size_t source = 0;       // into node_types
    std::size_t destination = 0;  // into node_types
    Int64View colptr;
    Int64View row;
};

struct GraphStore {
    std::vector<NodeTypeRecord> node_types;
    std::vector<std::size_t> listed_order;  // node_types as given, duplicates kept
    std::vector<EdgeTypeRecord> edge_types;
    std::vector<std::string> edge_type_keys;  // distinct, in the order first listed
    bool has_node_time = false;  // the node_time dictionary had an entry

    // The names, for the checks of names that callers give.
    std::unordered_map<std::string, std::size_t> node_type_index;  // every row
    std::unordered_set<std::string> listed_names;
    std::unordered_set<std::string> key_names;

    // The row of a type named in node_types, if `name` is one.
    std::optional<std::size_t> listed_node_type(const std::string& name) const {
        const auto found = node_type_index.find(name);
        if (found == node_type_index.end() || !node_types[found->second].listed) {
            return std::nullopt;
        }
        return found->second;
    }
};

// The store's names and numbers for these types, without any array yet.
// Throws RuntimeFailure when two different edge types share one key.
GraphStore number_graph(const std::vector<std::string>& node_types,
                        const std::vector<EdgeType>& edge_types);

}  // namespace corvane
