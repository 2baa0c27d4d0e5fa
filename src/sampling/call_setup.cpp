#include "sampling/call_setup.h"

#include <algorithm>

#include "sampling/sampling_errors.h"

namespace corvane {

namespace {

// Seed times come from the request, else from the entity table's node times;
// without either the call samples without time.
std::vector<std::int64_t> seed_times_of(const GraphStore& graph, const std::string& entity_table,
                                        const SeedArrays& seeds) {
    const Int64View& seed_nodes = seeds.nodes.view;
    const Int64View& given = seeds.times.view;
    if (given.size > 0) {
        // Without node times the two lengths may differ; the times are then
        // never used, and only those that exist are copied.
        const std::size_t count = std::min(given.size, seed_nodes.size);
        return std::vector<std::int64_t>(given.data, given.data + count);
    }
    const auto entity_times = graph.node_time_data.find(entity_table);
    if (entity_times == graph.node_time_data.end()) {
        return {};
    }
    const Int64View& node_time = entity_times->second.view;
    std::vector<std::int64_t> times(seed_nodes.size);
    for (std::size_t i = 0; i < seed_nodes.size; ++i) {
        const std::int64_t node = seed_nodes.data[i];
        if (!node_time.contains_index(node)) {
            throw_node_outside_node_time(entity_table, node, node_time.length());
        }
        times[i] = node_time[node];
    }
    return times;
}

}  // namespace

void start_call(const GraphStore& graph, CallState& call) {
    call.reset();
    for (const std::string& node_type : graph.node_types) {
        call.working.num_sampled_nodes[node_type].assign(1, 0);
        call.books[node_type];
        call.frontier[node_type] = FrontierRange{};
    }
    for (const std::string& key : graph.edge_type_keys) {
        call.working.num_sampled_edges[key].assign(1, 0);
        call.working.sampled_edges[key].clear();
    }
}

void enter_seeds(const GraphStore& graph, const std::string& entity_table,
                 const SeedArrays& seeds, CallState& call) {
    const Int64View& seed_nodes = seeds.nodes.view;
    call.books[entity_table].enter_seeds(seed_nodes.data, seed_nodes.size);
    call.frontier[entity_table] = FrontierRange{0, seed_nodes.size};
    call.seed_times = seed_times_of(graph, entity_table, seeds);

    call.working.num_sampled_nodes.at(entity_table)
        .assign(1, static_cast<std::int64_t>(seed_nodes.size));
}

}  // namespace corvane
