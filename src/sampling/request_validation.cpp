#include "sampling/request_validation.h"

#include "graph/validation.h"
#include "graph/whole_message_error.h"

namespace py = pybind11;

namespace corvane {

namespace {

void check_entity_table(const GraphStore& graph, const std::string& entity_table) {
    if (!graph.listed_node_type(entity_table)) {
        throw RuntimeFailure("Invalid entity table '" + entity_table + "'.");
    }
}

void check_seed_sizes(const GraphStore& graph, const py::array& seed_node,
                      const py::array& seed_time) {
    if (graph.has_node_time && seed_time.size() > 0 && seed_node.size() != seed_time.size()) {
        throw RuntimeFailure("'seed_node' and 'seed_time' size mismatch.");
    }
}

}  // namespace

SeedArrays check_request_arguments(const GraphStore& graph, const py::dict& num_neighbors,
                                   const py::dict& sampling_time_offsets,
                                   const std::string& entity_table, const py::array& seed_node,
                                   const py::array& seed_time) {
    validate_array_dict(num_neighbors, "num_neighbors", graph.key_names, kInt64List);
    validate_array_dict(sampling_time_offsets, "sampling_time_offsets", graph.key_names,
                        kRowsOfAnyDtype);
    validate_array(seed_node, "seed_node", kInt64List);
    validate_array(seed_time, "seed_time", kInt64List);
    check_entity_table(graph, entity_table);
    check_seed_sizes(graph, seed_node, seed_time);
    return SeedArrays{hold_as_int64(seed_node), hold_as_int64(seed_time)};
}

}  // namespace corvane
