#include "sampling/request_validation.h"

#include <algorithm>

#include "graph/validation.h"
#include "graph/whole_message_error.h"

namespace py = pybind11;

namespace corvane {

namespace {

void check_entity_table(const GraphStore& graph, const std::string& entity_table) {
    if (graph.node_type_set.count(entity_table) == 0) {
        throw RuntimeFailure("Invalid entity table '" + entity_table + "'.");
    }
}

void check_seed_sizes(const GraphStore& graph, const py::array& seed_node,
                      const py::array& seed_time) {
    if (graph.has_node_time && seed_time.size() > 0 && seed_node.size() != seed_time.size()) {
        throw RuntimeFailure("'seed_node' and 'seed_time' size mismatch.");
    }
}

EdgeTypeRequest request_by_count(const py::object& counts, std::uint64_t& num_hops) {
    EdgeTypeRequest request;
    request.by_count = true;
    request.counts = hold_as_int64(to_array(counts));
    num_hops = std::max<std::uint64_t>(num_hops, request.counts.view.size);
    return request;
}

EdgeTypeRequest request_by_time_window(const GraphStore& graph, const EdgeType& edge_type,
                                    const std::string& key, py::object offsets,
                                    std::uint64_t& num_hops) {
    const py::array rows = to_array(offsets);
    num_hops = std::max<std::uint64_t>(num_hops, static_cast<std::uint64_t>(rows.shape(0)));
    if (graph.node_time_data.count(source_type(edge_type)) == 0) {
        throw RuntimeFailure("'sampling_time_offsets' contains '" + key + "' but " +
                                 source_type(edge_type) + " is not included in 'node_time'.");
    }
    if (rows.shape(1) != 2) {
        throw RuntimeFailure("'sampling_time_offsets' at '" + key +
                                 "' does not have shape (N, 2).");
    }
    EdgeTypeRequest request;
    request.offsets = std::move(offsets);
    return request;
}

}  // namespace

SeedArrays check_request_arguments(const GraphStore& graph, const py::dict& num_neighbors,
                                   const py::dict& sampling_time_offsets,
                                   const std::string& entity_table, const py::array& seed_node,
                                   const py::array& seed_time) {
    validate_array_dict(num_neighbors, "num_neighbors", graph.edge_type_key_set, kInt64List);
    validate_array_dict(sampling_time_offsets, "sampling_time_offsets", graph.edge_type_key_set,
                        kRowsOfAnyDtype);
    validate_array(seed_node, "seed_node", kInt64List);
    validate_array(seed_time, "seed_time", kInt64List);
    check_entity_table(graph, entity_table);
    check_seed_sizes(graph, seed_node, seed_time);
    return SeedArrays{hold_as_int64(seed_node), hold_as_int64(seed_time)};
}

SampleRequest read_edge_type_requests(const GraphStore& graph, const py::dict& num_neighbors,
                                      const py::dict& sampling_time_offsets) {
    SampleRequest request;
    for (std::size_t i = 0; i < graph.edge_types.size(); ++i) {
        const std::string& key = graph.edge_type_keys[i];
        const py::str py_key(key);
        const bool in_counts = num_neighbors.contains(py_key);
        if (in_counts && sampling_time_offsets.contains(py_key)) {
            throw RuntimeFailure(
                "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge "
                "type. '" + key + "' appears in both.");
        }
        if (in_counts) {
            const py::object counts = num_neighbors[py_key];
            request.edge_types.push_back(request_by_count(counts, request.num_hops));
        } else {
            // KeyError here when the edge type is in neither dictionary.
            py::object offsets = sampling_time_offsets[py_key];
            request.edge_types.push_back(request_by_time_window(
                graph, graph.edge_types[i], key, std::move(offsets), request.num_hops));
        }
    }
    return request;
}

}  // namespace corvane
