#include "graph/graph_store.h"

#include <utility>

#include "graph/whole_message_error.h"

namespace corvane {

namespace {

std::string quoted_triple(const EdgeType& edge_type) {
    const auto& [source, relation, destination] = edge_type;
    return "('" + source + "', '" + relation + "', '" + destination + "')";
}

// The row of `name`, added unlisted if no type has that name yet.
std::size_t node_type_row(GraphStore& graph, const std::string& name, bool listed) {
    const auto [entry, inserted] = graph.node_type_index.try_emplace(name, graph.node_types.size());
    if (inserted) {
        graph.node_types.push_back(NodeTypeRecord{name, listed, false, {}});
    }
    return entry->second;
}

// The key is a plain concatenation, so two different triples can meet in one
// key, e.g. (a, b__c, d) and (a__b, c, d). Their results would be mixed in one
// entry of every dictionary keyed by edge type; such graphs are refused. The
// same triple listed twice is fine: it shares its key's row.
class KeyRows {
public:
    std::size_t row_of(GraphStore& graph, const EdgeTypeRecord& record) {
        const auto [entry, inserted] = rows_.try_emplace(record.key, graph.edge_type_keys.size());
        if (inserted) {
            graph.edge_type_keys.push_back(record.key);
            graph.key_names.insert(record.key);
            first_types_.push_back(record.type);
        }
        const EdgeType& first = first_types_[entry->second];
        if (first != record.type) {
            throw RuntimeFailure("Edge types " + quoted_triple(first) + " and " +
                                 quoted_triple(record.type) + " share the key '" + record.key +
                                 "'.");
        }
        return entry->second;
    }

private:
    std::unordered_map<std::string, std::size_t> rows_;
    std::vector<EdgeType> first_types_;  // by row: the type that first gave the key
};

}  // namespace

GraphStore number_graph(const std::vector<std::string>& node_types,
                        const std::vector<EdgeType>& edge_types) {
    GraphStore graph;
    for (const std::string& name : node_types) {
        graph.listed_order.push_back(node_type_row(graph, name, true));
        graph.listed_names.insert(name);
    }
    KeyRows key_rows;
    for (const EdgeType& type : edge_types) {
        EdgeTypeRecord record;
        record.type = type;
        record.key = edge_type_key(type);
        record.key_index = key_rows.row_of(graph, record);
        record.source = node_type_row(graph, source_type(type), false);
        record.destination = node_type_row(graph, destination_type(type), false);
        graph.edge_types.push_back(std::move(record));
    }
    return graph;
}

}  // namespace corvane
