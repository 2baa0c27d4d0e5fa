#include "graph/edge_type.h"

namespace corvane {

std::string edge_type_key(const EdgeType& edge_type) {
    const auto& [source, relation, destination] = edge_type;
    return source + "__" + relation + "__" + destination;
}

}  // namespace corvane
