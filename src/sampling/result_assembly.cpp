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

// Two new int64 arrays holding the `first` and the `second` field of every
// value, filled in one pass.
template <class Value>
std::pair<py::array_t<std::int64_t>, py::array_t<std::int64_t>> split_fields(
    const std::vector<Value>& values, std::int64_t Value::* first, std::int64_t Value::* second) {
    const auto length = static_cast<py::ssize_t>(values.size());
    py::array_t<std::int64_t> firsts(length);
    py::array_t<std::int64_t> seconds(length);
    std::int64_t* to_first = firsts.mutable_data();
    std::int64_t* to_second = seconds.mutable_data();
    for (const Value& value : values) {
        *to_first++ = value.*first;
        *to_second++ = value.*second;
    }
    return {firsts, seconds};
}

}  // namespace

SampleResult assemble_results(const GraphStore& graph, const CallState& call) {
    py::dict num_sampled_nodes;
    py::dict sampled_nodes;
    py::dict sampled_batches;
    for (const std::size_t node_type : graph.listed_order) {
        const py::str key(graph.node_types[node_type].name);
        // Every node the call entered went through a frontier, in the order
        // entered: the book's list is the type's sampled nodes.
        auto [ids, batches] =
            split_fields(call.books[node_type].nodes(), &SampledNode::node, &SampledNode::batch);
        sampled_nodes[key] = ids;
        num_sampled_nodes[key] = to_array(call.working.num_sampled_nodes[node_type]);
        sampled_batches[key] = batches;
    }

    py::dict num_sampled_edges;
    py::dict sampled_rows;
    py::dict sampled_cols;
    for (std::size_t index = 0; index < graph.edge_type_keys.size(); ++index) {
        const py::str key(graph.edge_type_keys[index]);
        // The leading 0 placed at set-up is not a hop of its own.
        num_sampled_edges[key] = to_array(call.working.num_sampled_edges[index], 1);
        auto [rows, cols] =
            split_fields(call.working.sampled_edges[index], &SampledEdge::row, &SampledEdge::col);
        sampled_rows[key] = rows;
        sampled_cols[key] = cols;
    }

    return SampleResult{sampled_rows,    sampled_cols,      sampled_nodes,
                        sampled_batches, num_sampled_nodes, num_sampled_edges};
}

}  // namespace corvane
