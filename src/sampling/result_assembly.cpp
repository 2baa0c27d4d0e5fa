#include "sampling/result_assembly.h"

#include <cstring>

namespace py = pybind11;

namespace corvane {

namespace {

// A new int64 array holding values[skip:], copied in one piece.
py::array_t<std::int64_t> to_array(const std::vector<std::int64_t>& values, std::size_t skip = 0) {
    const std::size_t length = values.size() - skip;
    py::array_t<std::int64_t> array(static_cast<py::ssize_t>(length));
    if (length > 0) {
        std::memcpy(array.mutable_data(), values.data() + skip, length * sizeof(std::int64_t));
    }
    return array;
}

}  // namespace

SampleResult assemble_results(const GraphStore& graph, const WorkingMaps& working) {
    py::dict num_sampled_nodes;
    py::dict sampled_nodes;
    py::dict sampled_batches;
    for (const std::string& node_type : graph.node_types) {
        const py::str key(node_type);
        sampled_nodes[key] = to_array(working.sampled_nodes.at(node_type));
        num_sampled_nodes[key] = to_array(working.num_sampled_nodes.at(node_type));
        sampled_batches[key] = to_array(working.sampled_batches.at(node_type));
    }

    py::dict num_sampled_edges;
    py::dict sampled_rows;
    py::dict sampled_cols;
    for (const std::string& edge_type_key : graph.edge_type_keys) {
        const py::str key(edge_type_key);
        // The leading 0 placed at set-up is not a hop of its own.
        num_sampled_edges[key] = to_array(working.num_sampled_edges.at(edge_type_key), 1);
        sampled_rows[key] = to_array(working.sampled_rows.at(edge_type_key));
        sampled_cols[key] = to_array(working.sampled_cols.at(edge_type_key));
    }

    return SampleResult{sampled_rows,    sampled_cols,      sampled_nodes,
                        sampled_batches, num_sampled_nodes, num_sampled_edges};
}

}  // namespace corvane
