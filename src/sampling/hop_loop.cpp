#include "sampling/hop_loop.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

#include "sampling/neighbor_selection.h"
#include "sampling/prefetch_schedule.h"
#include "sampling/sampling_errors.h"
#include "sampling/temporal_selection.h"

namespace corvane {

namespace {

// One edge type's pass over the frontier of one hop.
struct FrontierPass {
    EdgeExpansion& expansion;
    HopParameter parameter;
    Frontier frontier;
    const std::vector<std::int64_t>& seed_times;  // by batch
};

// One frontier node of a temporal hop: the most recent k, or a time window.
template <BookMode kMode>
void expand_with_time(const FrontierPass& pass, FrontierNode node, ColumnRange gathered) {
    EdgeExpansion& expansion = pass.expansion;
    const ColumnRange column = checked_column(expansion, node.entry.node, gathered);
    const std::int64_t seed_time = pass.seed_times[static_cast<std::size_t>(node.entry.batch)];
    if (pass.parameter.by_time_window) {
        select_time_window<kMode>(expansion, node, column, pass.parameter.offsets, seed_time);
    } else {
        select_most_recent<kMode>(expansion, node, column, pass.parameter.k, seed_time);
    }
}

// An upper bound on the admissions of frontier node i's tree in this pass,
// from node i on: the frontier lists its nodes tree by tree, and each node
// admits at most its column's size, or k of it. Counted up to what sizes a
// tree's table; a column that fails its check ends the count.
CORVANE_ALWAYS_INLINE std::size_t tree_admissions(const FrontierPass& pass, std::size_t i,
                                                  std::int64_t batch) {
    const Frontier& frontier = pass.frontier;
    const HopParameter& parameter = pass.parameter;
    const bool takes_columns = parameter.by_time_window || parameter.k < 0;
    std::size_t bound = 0;
    for (; i < frontier.size() && bound < NodeBook::kMostExpected &&
           frontier.nodes[frontier.range.begin + i].batch == batch;
         ++i) {
        if (!column_is_valid(pass.expansion, frontier.id(i), frontier.columns[i])) {
            break;
        }
        const std::int64_t size = frontier.columns[i].normalised().size();
        bound += static_cast<std::size_t>(takes_columns ? size : std::min(parameter.k, size));
    }
    return bound;
}

// Opens the tree of frontier node i in the book admitted into, when the node
// before it belonged to another tree, with the room its admissions may take.
template <BookMode kMode>
CORVANE_ALWAYS_INLINE void open_tree_of(const FrontierPass& pass, std::size_t i,
                                        std::int64_t batch) {
    if constexpr (kMode == BookMode::kTrees) {
        NodeBook& book = pass.expansion.source;
        if (book.opens_tree(batch)) {
            book.open_tree(batch, tree_admissions(pass, i, batch));
        }
    }
}

// Expands the nodes of one chunk of a temporal pass. Inlined into the chunk
// loop: as a call of its own, temporal hops measured about 8% slower.
// Most-recent passes by tree search their chunk's long columns together
// first; passes through the call's index keep node-by-node searches, since
// stepped together there the shop graph's most-recent workload (small books,
// few long columns) measured 9-11% slower.
template <BookMode kMode>
CORVANE_ALWAYS_INLINE void expand_timed_chunk(const FrontierPass& pass, ChunkRange chunk) {
    const Frontier& frontier = pass.frontier;
    ChunkSearchEnds ends;
    if (kMode == BookMode::kTrees && !pass.parameter.by_time_window &&
        search_most_recent_ends(pass.expansion, frontier, chunk, pass.seed_times, ends)) {
        for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
            const FrontierNode node = frontier.node(i);
            open_tree_of<kMode>(pass, i, node.entry.batch);
            if (ends.found[i - chunk.begin]) {  // its column is valid: checking it cannot throw
                select_most_recent_ending<kMode>(
                    pass.expansion, node,
                    checked_column(pass.expansion, node.entry.node, frontier.columns[i]),
                    pass.parameter.k, ends.end[i - chunk.begin]);
            } else {
                expand_with_time<kMode>(pass, node, frontier.columns[i]);
            }
        }
        return;
    }
    for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
        const FrontierNode node = frontier.node(i);
        open_tree_of<kMode>(pass, i, node.entry.batch);
        expand_with_time<kMode>(pass, node, frontier.columns[i]);
    }
}

// Admits the planned nodes of one chunk of a count pass, then reports the
// invalid column that ended its plan, if one did.
template <BookMode kMode>
CORVANE_ALWAYS_INLINE void admit_chunk(const FrontierPass& pass, ChunkRange chunk, ChunkPlan plan) {
    const Frontier& frontier = pass.frontier;
    const std::int64_t k = pass.parameter.k;
    ChunkPlan ahead = plan;
    const std::size_t planned_end = chunk.begin + plan.planned_nodes();
    if (chunk.begin < planned_end) {
        prefetch_planned_slots<kMode>(pass.expansion, frontier.node(chunk.begin),
                                      frontier.columns[chunk.begin].normalised(), k, ahead);
    }
    for (std::size_t i = chunk.begin; i < planned_end; ++i) {
        const FrontierNode node = frontier.node(i);
        open_tree_of<kMode>(pass, i, node.entry.batch);
        if (i + 1 < planned_end) {
            prefetch_planned_slots<kMode>(pass.expansion, frontier.node(i + 1),
                                          frontier.columns[i + 1].normalised(), k, ahead);
        }
        admit_planned<kMode>(pass.expansion, node, frontier.columns[i].normalised(), k, plan);
    }
    if (planned_end < chunk.end) {
        checked_column(pass.expansion, frontier.id(planned_end), frontier.columns[planned_end]);
    }
}

// An upper bound on the neighbours that the nodes of `chunk` admit and the
// offsets they draw: their column sizes, each counted up to the poll's
// interval (longer columns and selections charge themselves as they go).
// Charged once per chunk, it keeps the look for signals out of the per-node
// and per-neighbour work.
std::int64_t chunk_work(const std::vector<ColumnRange>& columns, ChunkRange chunk) {
    constexpr auto kMost = static_cast<std::uint64_t>(SignalPoll::kInterval);
    std::uint64_t work = 0;
    for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
        // Unchecked yet: any two int64 values, whose difference may not fit.
        const ColumnRange& column = columns[i];
        if (column.end > column.start) {
            work += std::min(
                static_cast<std::uint64_t>(column.end) - static_cast<std::uint64_t>(column.start),
                kMost);
        }
    }
    return static_cast<std::int64_t>(work);
}

// The chunk loop of a temporal pass.
template <BookMode kMode>
void expand_timed_frontier(const FrontierPass& pass) {
    const std::vector<ColumnRange>& columns = pass.frontier.columns;
    const PrefetchesAhead<true> prefetches(pass.expansion, columns);
    for (std::size_t begin = 0; begin < columns.size(); begin += kChunkNodes) {
        const ChunkRange chunk{begin, std::min(columns.size(), begin + kChunkNodes)};
        prefetches.before(chunk.begin);
        pass.expansion.signal_poll.after(chunk_work(columns, chunk));
        expand_timed_chunk<kMode>(pass, chunk);
    }
}

// The chunk loop of a count pass. When admissions go by tree, chunk c + 1 is
// planned (its draws taken, its chosen rows prefetched) before chunk c is
// admitted: the rows land while chunk c is admitted, where planned just
// before their own admission each admission waited for its row (a third of
// the call on the user/item graph). Through the index of the whole call,
// each node's rows are read a node ahead for its slots anyway, and planning
// ahead measured slower. Draws never depend on admissions, so the results
// are those of node-by-node selection. As that would, planning takes no draw
// at or after an invalid column: the chunks after its own are not planned,
// and its admission fails.
template <BookMode kMode>
void expand_counted_frontier(const FrontierPass& pass) {
    const std::vector<ColumnRange>& columns = pass.frontier.columns;
    const auto chunk_at = [&columns](std::size_t begin) {
        return ChunkRange{begin, std::min(columns.size(), begin + kChunkNodes)};
    };
    EdgeExpansion& expansion = pass.expansion;
    const std::int64_t k = pass.parameter.k;
    SelectionScratch& selection = expansion.selection;
    std::vector<std::int64_t>* const offsets[2] = {&selection.chosen, &selection.chosen_ahead};
    const PrefetchesAhead<false> prefetches(expansion, columns);
    expansion.signal_poll.after(chunk_work(columns, chunk_at(0)));
    ChunkPlan plan = plan_selections(expansion, pass.frontier, chunk_at(0), k, *offsets[0]);
    for (std::size_t begin = 0, number = 0; begin < columns.size();
         begin += kChunkNodes, ++number) {
        const ChunkRange chunk = chunk_at(begin);
        prefetches.before(chunk.begin);
        const bool more =
            chunk.end < columns.size() && plan.planned_nodes() == chunk.end - chunk.begin;
        const auto plan_next = [&] {
            const ChunkRange following = chunk_at(chunk.end);
            expansion.signal_poll.after(chunk_work(columns, following));
            return plan_selections(expansion, pass.frontier, following, k,
                                   *offsets[(number + 1) % 2]);
        };
        ChunkPlan next(0, nullptr);
        const bool ahead = more && kMode == BookMode::kTrees && expansion.source.indexes_by_tree();
        if (ahead) {
            next = plan_next();
        }
        admit_chunk<kMode>(pass, chunk, plan);
        if (more && !ahead) {
            next = plan_next();
        }
        plan = next;
    }
}

// An upper bound on what a pass admits, from its gathered columns (unchecked
// yet), counted up to what decides how its book admits.
std::size_t pass_admissions(const std::vector<ColumnRange>& columns, HopParameter parameter,
                            bool with_time, std::size_t book_size) {
    constexpr std::uint64_t kMost = NodeBook::kSmallBook + 1;
    const bool takes_columns =
        with_time ? parameter.by_time_window || parameter.k < 0 : parameter.k < 0;
    // k per node already keeps the book small: no need to read the columns
    // to choose the same mode.
    const auto room = static_cast<std::uint64_t>(NodeBook::kSmallBook -
                                                 std::min(book_size, NodeBook::kSmallBook));
    if (!takes_columns && parameter.k > 0 &&
        columns.size() <= room / static_cast<std::uint64_t>(parameter.k)) {
        return columns.size() * static_cast<std::size_t>(parameter.k);
    }
    std::uint64_t bound = 0;
    for (std::size_t i = 0; i < columns.size() && bound < kMost; ++i) {
        const ColumnRange& column = columns[i];
        if (column.end > column.start) {
            const std::uint64_t size = std::min(
                static_cast<std::uint64_t>(column.end) - static_cast<std::uint64_t>(column.start),
                kMost);
            bound += takes_columns ? size : std::min(size, static_cast<std::uint64_t>(parameter.k));
        }
    }
    return static_cast<std::size_t>(bound);
}

// A hop is temporal for an edge type when the call has seed times and the
// neighbours' type has node times.
bool samples_with_time(const HopContext& context, const NodeTypeRecord& source) {
    return !context.call.seed_times.empty() && source.has_time;
}

void expand_edge_type(HopContext& context, std::size_t index, std::uint64_t hop) {
    const EdgeTypeRecord& edge_type = context.graph.edge_types[index];
    const NodeTypeRecord& source = context.graph.node_types[edge_type.source];
    CallState& call = context.call;

    throw_if_interrupted();  // once per edge type and hop, however small
    std::vector<std::int64_t>& edge_counts = call.working.num_sampled_edges[edge_type.key_index];
    edge_counts.push_back(0);
    const HopParameter parameter = context.parameters.at(index, hop);
    const bool with_time = samples_with_time(context, source);
    // Before the early return below: an edge type whose destination is not a
    // node type fails at every hop that reaches it, even one that would read
    // nothing (k = 0), so a call's success never depends on its counts.
    const NodeTypeRecord& destination = context.graph.node_types[edge_type.destination];
    if (!destination.listed) {
        throw_destination_not_node_type(edge_type.key, destination.name);
    }
    // Time windows read columns only when the hop samples with time; counts
    // read them unless k = 0.
    const bool reads_columns = parameter.by_time_window ? with_time : parameter.k != 0;
    if (!reads_columns) {
        return;
    }

    EdgeExpansion expansion{edge_type.key,
                            source.name,
                            edge_type.colptr,
                            edge_type.row,
                            source.time,
                            call.books[edge_type.source],
                            call.working.sampled_edges[edge_type.key_index],
                            context.generator,
                            call.selection,
                            call.signal_poll};
    const std::vector<SampledNode>& nodes = call.books[edge_type.destination].nodes();
    const FrontierRange range = call.frontiers[edge_type.destination];
    gather_columns(expansion, nodes, range, call.columns);
    expansion.source.start_pass(
        pass_admissions(call.columns, parameter, with_time, expansion.source.size()));
    // Every admission records one edge, so this pass's count is how much the
    // edge list grew.
    const std::size_t edges_before = expansion.sampled_edges.size();
    const FrontierPass pass{expansion, parameter, Frontier{nodes, range, call.columns},
                            call.seed_times};
    // The mode is fixed for the pass's loop (a book may still leave its
    // trees for the call's index during a pass by tree, never the other way).
    const bool by_tree = expansion.source.mode() == BookMode::kTrees;
    if (with_time) {
        by_tree ? expand_timed_frontier<BookMode::kTrees>(pass)
                : expand_timed_frontier<BookMode::kCallIndex>(pass);
    } else {
        by_tree ? expand_counted_frontier<BookMode::kTrees>(pass)
                : expand_counted_frontier<BookMode::kCallIndex>(pass);
    }
    edge_counts.back() += static_cast<std::int64_t>(expansion.sampled_edges.size() - edges_before);
}

void advance_frontiers(HopContext& context) {
    for (const std::size_t node_type : context.graph.listed_order) {
        FrontierRange& frontier = context.call.frontiers[node_type];
        frontier = FrontierRange{frontier.end, context.call.books[node_type].size()};
        context.call.working.num_sampled_nodes[node_type].push_back(
            static_cast<std::int64_t>(frontier.end - frontier.begin));
    }
}

// The length a counter list reaches over the call: the entry set up before
// the first hop and `per_hop` more for each hop. A length that no size
// holds throws std::length_error, as reserve does for one that no vector
// holds; both reach the caller as MemoryError.
std::size_t counter_length(std::uint64_t num_hops, std::uint64_t per_hop) {
    constexpr std::uint64_t kMost = std::numeric_limits<std::size_t>::max() - 1;
    if (per_hop != 0 && num_hops > kMost / per_hop) {
        throw std::length_error("more per-hop counters than memory holds");
    }
    return static_cast<std::size_t>(1 + num_hops * per_hop);
}

// Room for every hop's counters before the first hop. The number of hops
// comes from the request's arrays, which can claim far more rows than they
// hold (a broadcast view of 10^12 rows takes 16 bytes): counters grown hop by
// hop would take memory for as long as it lasts before failing, while their
// whole length, reserved here, fails at once. Whatever a failed reservation
// did take goes back when the call's scope empties the working maps.
void reserve_hop_counters(const GraphStore& graph, std::uint64_t num_hops, WorkingMaps& working) {
    // A node type listed twice gets two entries per hop (advance_frontiers);
    // an edge type listed twice adds two to its key's list (expand_edge_type).
    // Counted in one pass each: a graph may have tens of thousands of types.
    std::vector<std::uint64_t> per_node_type(working.num_sampled_nodes.size(), 0);
    for (const std::size_t type : graph.listed_order) {
        ++per_node_type[type];
    }
    std::vector<std::uint64_t> per_key(working.num_sampled_edges.size(), 0);
    for (const EdgeTypeRecord& edge_type : graph.edge_types) {
        ++per_key[edge_type.key_index];
    }
    for (std::size_t type = 0; type < per_node_type.size(); ++type) {
        working.num_sampled_nodes[type].reserve(counter_length(num_hops, per_node_type[type]));
    }
    for (std::size_t key = 0; key < per_key.size(); ++key) {
        working.num_sampled_edges[key].reserve(counter_length(num_hops, per_key[key]));
    }
}

}  // namespace

void run_hop(HopContext& context, std::uint64_t hop) {
    for (std::size_t index = 0; index < context.graph.edge_types.size(); ++index) {
        expand_edge_type(context, index, hop);
    }
    advance_frontiers(context);
}

void run_hops(HopContext& context) {
    reserve_hop_counters(context.graph, context.parameters.num_hops(), context.call.working);
    for (std::uint64_t hop = 0; hop < context.parameters.num_hops(); ++hop) {
        run_hop(context, hop);
    }
}

}  // namespace corvane
