#include "graph/neighbor_sampler.h"

#include <cstdint>
#include <unordered_map>
#include <utility>

#include "graph/validation.h"
#include "graph/whole_message_error.h"

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

std::string quoted_triple(const EdgeType& edge_type) {
    const auto& [source, relation, destination] = edge_type;
    return "('" + source + "', '" + relation + "', '" + destination + "')";
}

// The key is a plain concatenation, so two different triples can meet in one
// key, e.g. (a, b__c, d) and (a__b, c, d). Their results would be mixed in one
// entry of every dictionary keyed by edge type; such graphs are refused. The
// same triple listed twice is fine.
void reject_shared_keys(const std::vector<EdgeType>& edge_types,
                        const std::vector<std::string>& keys) {
    std::unordered_map<std::string, const EdgeType*> first_with_key;
    for (std::size_t i = 0; i < edge_types.size(); ++i) {
        const auto [entry, inserted] = first_with_key.try_emplace(keys[i], &edge_types[i]);
        if (!inserted && *entry->second != edge_types[i]) {
            throw RuntimeFailure("Edge types " + quoted_triple(*entry->second) + " and " +
                                     quoted_triple(edge_types[i]) + " share the key '" + keys[i] +
                                     "'.");
        }
    }
}

}  // namespace

NeighborSampler::NeighborSampler(std::vector<std::string> node_types,
                                 std::vector<EdgeType> edge_types, py::dict colptr, py::dict row,
                                 py::dict node_time, int seed) {
    graph_.node_types = std::move(node_types);
    graph_.edge_types = std::move(edge_types);
    for (const EdgeType& edge_type : graph_.edge_types) {
        graph_.edge_type_keys.push_back(edge_type_key(edge_type));
    }
    reject_shared_keys(graph_.edge_types, graph_.edge_type_keys);
    graph_.node_type_set.insert(graph_.node_types.begin(), graph_.node_types.end());
    graph_.edge_type_key_set.insert(graph_.edge_type_keys.begin(), graph_.edge_type_keys.end());

    // All checks run before any array is recorded.
    validate_array_dict(colptr, "colptr", graph_.edge_type_key_set, kInt64List);
    validate_array_dict(row, "row", graph_.edge_type_key_set, kInt64List);
    graph_.has_node_time = !node_time.empty();
    validate_array_dict(node_time, "node_time", graph_.node_type_set, kInt64List);

    for (const std::string& key : graph_.edge_type_keys) {
        graph_.colptr_data[key] = hold_entry(colptr, key);
        graph_.row_data[key] = hold_entry(row, key);
    }
    for (const std::string& node_type : graph_.node_types) {
        if (node_time.contains(py::str(node_type))) {
            graph_.node_time_data[node_type] = hold_entry(node_time, node_type);
        }
    }

    generator_.seed(static_cast<std::uint32_t>(seed));
}

}  // namespace corvane
