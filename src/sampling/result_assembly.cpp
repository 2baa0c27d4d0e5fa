#include "sampling/result_assembly.h"

#include <cstring>
#include <utility>

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

// Two new int64 arrays: the global ids and the seed positions of `nodes`,
// split in one pass.
std::pair<py::array_t<std::int64_t>, py::array_t<std::int64_t>> split_nodes(
    const std::vector<SampledNode>& nodes) {
    const auto length = static_cast<py::ssize_t>(nodes.size());
    py::array_t<std::int64_t> ids(length);
    py::array_t<std::int64_t> batches(length);
    std::int64_t* id = ids.mutable_data();
    std::int64_t* batch = batches.mutable_data();
    for (const SampledNode& node : nodes) {
        *id++ = node.node;
        *batch++ = node.batch;
    }
    return {ids, batches};
}

}  // namespace

SampleResult assemble_results(const GraphStore& graph, const WorkingMaps& working,
                              const CallState& call) {
    py::dict num_sampled_nodes;
    py::dict sampled_nodes;
    py::dict sampled_batches;
    for (const std::string& node_type : graph.node_types) {
        const py::str key(node_type);
        // Every node the call entered went through a frontier, in the order
        // entered: the book's list is the type's sampled nodes.
        auto [ids, batches] = split_nodes(call.books.at(node_type).nodes());
        sampled_nodes[key] = ids;
        num_sampled_nodes[key] = to_array(working.num_sampled_nodes.at(node_type));
        sampled_batches[key] = batches;
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
