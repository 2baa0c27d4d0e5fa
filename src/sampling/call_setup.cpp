#include "sampling/call_setup.h"

#include <algorithm>

#include "sampling/sampling_errors.h"

namespace corvane {

namespace {

// Seed times come from the request, else from the entity type's node times;
// without either the call samples without time.
std::vector<std::int64_t> seed_times_of(const NodeTypeRecord& entity, SeedView seeds) {
    if (seeds.times.size > 0) {
        // Without node times the two lengths may differ; the times are then
        // never used, and only those that exist are copied.
        const std::size_t count = std::min(seeds.times.size, seeds.nodes.size);
        return std::vector<std::int64_t>(seeds.times.data, seeds.times.data + count);
    }
    if (!entity.has_time) {
        return {};
    }
    std::vector<std::int64_t> times(seeds.nodes.size);
    for (std::size_t i = 0; i < seeds.nodes.size; ++i) {
        const std::int64_t node = seeds.nodes.data[i];
        if (!entity.time.contains_index(node)) {
            throw_node_outside_node_time(entity.name, node, entity.time.length());
        }
        times[i] = entity.time[node];
    }
    return times;
}

}  // namespace

void start_call(const GraphStore& graph, CallState& call) {
    // Sized once, by the first call; later calls empty what is there.
    call.books.resize(graph.node_types.size());
    for (NodeBook& book : call.books) {
        book.clear();
    }
    call.frontiers.assign(graph.node_types.size(), FrontierRange{});
    call.seed_times.clear();
    WorkingMaps& working = call.working;
    working.num_sampled_nodes.resize(graph.node_types.size());
    for (std::size_t type = 0; type < graph.node_types.size(); ++type) {
        working.num_sampled_nodes[type].assign(1, 0);
    }
    working.num_sampled_edges.resize(graph.edge_type_keys.size());
    working.sampled_edges.resize(graph.edge_type_keys.size());
    for (std::size_t key = 0; key < graph.edge_type_keys.size(); ++key) {
        working.num_sampled_edges[key].assign(1, 0);
        working.sampled_edges[key].clear();
    }
}

void enter_seeds(const GraphStore& graph, std::size_t entity, SeedView seeds, CallState& call) {
    call.books[entity].enter_seeds(seeds.nodes.data, seeds.nodes.size);
    call.frontiers[entity] = FrontierRange{0, seeds.nodes.size};
    call.seed_times = seed_times_of(graph.node_types[entity], seeds);
    call.working.num_sampled_nodes[entity].assign(1, static_cast<std::int64_t>(seeds.nodes.size));
}

}  // namespace corvane
