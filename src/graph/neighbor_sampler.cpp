#include "graph/neighbor_sampler.h"

#include <cstdint>
#include <tuple>
#include <utility>

#include "graph/validation.h"

namespace py = pybind11;

namespace corvane {

namespace {

// Looks `name` up in `dict` (KeyError if absent), converts the value to an
// array and asks it for a strided, formatted buffer view before its data is
// held, so an array that cannot describe its memory is refused here.
HeldArray hold_entry(const py::dict& dict, const std::string& name) {
    const py::object value = dict[py::str(name)];
    const py::array array = to_array(value);
    array.request();  // the view is released at once; only the check matters
    return hold_as_int64(array);
}

}  // namespace

NeighborSampler::NeighborSampler(const std::vector<std::string>& node_types,
                                 const std::vector<EdgeType>& edge_types, py::dict colptr,
                                 py::dict row, py::dict node_time, int seed)
    // The engine is seeded once, as it is built: seeding walks its 624 words.
    : graph_(number_graph(node_types, edge_types)), generator_(static_cast<std::uint32_t>(seed)) {
    // All checks run before any array is held.
    validate_array_dict(colptr, "colptr", graph_.key_names, kInt64List);
    validate_array_dict(row, "row", graph_.key_names, kInt64List);
    graph_.has_node_time = !node_time.empty();
    validate_array_dict(node_time, "node_time", graph_.listed_names, kInt64List);

    hold_edge_type_arrays(colptr, row);
    hold_node_times(node_time);
}

Int64View NeighborSampler::hold(const py::dict& dict, const std::string& name) {
    held_arrays_.push_back(hold_entry(dict, name));
    return held_arrays_.back().view;
}

// Each key's arrays are held once, in the order the keys were first listed;
// every record of the key views them.
void NeighborSampler::hold_edge_type_arrays(const py::dict& colptr, const py::dict& row) {
    std::vector<std::pair<Int64View, Int64View>> by_key;
    for (const std::string& key : graph_.edge_type_keys) {
        const Int64View colptr_view = hold(colptr, key);
        by_key.emplace_back(colptr_view, hold(row, key));
    }
    for (EdgeTypeRecord& record : graph_.edge_types) {
        std::tie(record.colptr, record.row) = by_key[record.key_index];
    }
}

void NeighborSampler::hold_node_times(const py::dict& node_time) {
    for (NodeTypeRecord& node_type : graph_.node_types) {
        if (node_type.listed && node_time.contains(py::str(node_type.name))) {
            node_type.time = hold(node_time, node_type.name);
            node_type.has_time = true;
        }
    }
}

}  // namespace corvane
