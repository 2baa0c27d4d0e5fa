#pragma once

#include <string>
#include <tuple>

namespace corvane {

// (source node type, relation, destination node type).
using EdgeType = std::tuple<std::string, std::string, std::string>;

inline const std::string& source_type(const EdgeType& edge_type) { return std::get<0>(edge_type); }
inline const std::string& destination_type(const EdgeType& edge_type) {
    return std::get<2>(edge_type);
}

// The name under which an edge type appears in every dictionary keyed by edge
// type: source + "__" + relation + "__" + destination, nothing escaped.
std::string edge_type_key(const EdgeType& edge_type);

}  // namespace corvane
