#include "sampling/hop_loop.h"

#include <algorithm>

#include "sampling/hop_parameter.h"
#include "sampling/neighbor_selection.h"
#include "sampling/sampling_errors.h"
#include "sampling/temporal_selection.h"

namespace corvane {

namespace {

// Frontier nodes whose cache lines are prefetched together.
constexpr std::size_t kChunk = 16;

// Frontier nodes go in chunks, each expanded once the cache lines it needs
// were prefetched in bursts ahead of it: the rows one chunk ahead, or for
// temporal selection two chunks ahead, so that the neighbours' times can be
// prefetched one chunk ahead, once those rows have landed. (Count selections
// prefetch the rows their draws choose while the chunk is planned.) The
// bursts keep many misses in flight, as a plain walk over the columns would,
// without the expansion work between them.
class PrefetchesAhead {
public:
    PrefetchesAhead(const EdgeExpansion& expansion, const std::vector<ColumnRange>& columns,
                    bool with_time)
        : expansion_(expansion), columns_(columns), with_time_(with_time),
          rows_ahead_(with_time ? 2 * kChunk : kChunk) {
        prefetch_rows(0, rows_ahead_);
        if (with_time_) {
            prefetch_times(0, kChunk);
        }
    }

    // The prefetches made when the chunk starting at `chunk` is expanded next.
    void before(std::size_t chunk) const {
        prefetch_rows(chunk + rows_ahead_, chunk + rows_ahead_ + kChunk);
        if (with_time_) {
            prefetch_times(chunk + kChunk, chunk + 2 * kChunk);
        }
    }

private:
    void prefetch_rows(std::size_t first, std::size_t last) const {
        for (std::size_t i = first; i < std::min(last, columns_.size()); ++i) {
            prefetch_column(expansion_, columns_[i]);
        }
    }

    void prefetch_times(std::size_t first, std::size_t last) const {
        for (std::size_t i = first; i < std::min(last, columns_.size()); ++i) {
            prefetch_neighbor_times(expansion_, columns_[i]);
        }
    }

    const EdgeExpansion& expansion_;
    const std::vector<ColumnRange>& columns_;
    bool with_time_;
    std::size_t rows_ahead_;
};

Int64View node_time_of(const GraphStore& graph, const std::string& node_type) {
    const auto found = graph.node_time_data.find(node_type);
    return found == graph.node_time_data.end() ? Int64View{} : found->second.view;
}

// A hop is temporal for an edge type when the call has seed times and the
// neighbours' type has node times.
bool samples_with_time(const HopContext& context, const std::string& source) {
    return !context.call.seed_times.empty() && context.graph.node_time_data.count(source) != 0;
}

FrontierRange frontier_of(const HopContext& context, const std::string& key,
                          const std::string& destination) {
    const auto found = context.call.frontier.find(destination);
    if (found == context.call.frontier.end()) {
        throw_destination_not_node_type(key, destination);
    }
    return found->second;
}

// One frontier node of a temporal hop: the most recent k, or a time window.
void expand_with_time(EdgeExpansion& expansion, const HopParameter& parameter,
                      const CallState& call, SampledNode entry, std::int64_t local,
                      ColumnRange gathered) {
    const ColumnRange column = checked_column(expansion, entry.node, gathered);
    const std::int64_t seed_time = call.seed_times[static_cast<std::size_t>(entry.batch)];
    if (parameter.by_time_window) {
        select_time_window(expansion, entry, local, column, parameter.offsets, seed_time);
    } else {
        select_most_recent(expansion, entry, local, column, parameter.k, seed_time);
    }
}

// Expands the frontier nodes [chunk, chunk_end) (indices into the gathered
// columns, from `frontier_begin` in the destination's list). Inlined into the
// chunk loop: as a call of its own, temporal hops measured about 8% slower.
CORVANE_ALWAYS_INLINE void expand_chunk(EdgeExpansion& expansion, const HopParameter& parameter,
                                        const CallState& call, const NodeBook& destination,
                                        std::size_t frontier_begin, std::size_t chunk,
                                        std::size_t chunk_end, bool with_time) {
    const std::vector<ColumnRange>& columns = call.columns;
    const std::size_t planned =
        with_time ? 0
                  : plan_selections(expansion, destination.nodes(), frontier_begin, columns, chunk,
                                    chunk_end, parameter.k);
    for (std::size_t i = chunk; i < chunk_end; ++i) {
        const std::size_t position = frontier_begin + i;
        // A copy: when source and destination types agree, admissions grow
        // the very list that is being walked.
        const SampledNode entry = destination.nodes()[position];
        const auto local = static_cast<std::int64_t>(position);
        if (with_time) {
            expand_with_time(expansion, parameter, call, entry, local, columns[i]);
        } else if (i - chunk < planned) {
            admit_planned(expansion, entry, local, columns[i].normalised(), parameter.k);
        } else {
            checked_column(expansion, entry.node, columns[i]);  // reports the invalid column
        }
    }
}

// An upper bound on the neighbours that the frontier nodes [chunk, chunk_end)
// admit and the offsets they draw: their column sizes, each counted up to the
// poll's interval (longer columns and selections charge themselves as they
// go). Charged once per chunk, it keeps the look for signals out of the
// per-node and per-neighbour work.
std::int64_t chunk_work(const std::vector<ColumnRange>& columns, std::size_t chunk,
                        std::size_t chunk_end) {
    constexpr auto kMost = static_cast<std::uint64_t>(SignalPoll::kInterval);
    std::uint64_t work = 0;
    for (std::size_t i = chunk; i < chunk_end; ++i) {
        // Unchecked yet: any two int64 values, whose difference may not fit.
        const ColumnRange& column = columns[i];
        if (column.end > column.start) {
            work += std::min(static_cast<std::uint64_t>(column.end) -
                                 static_cast<std::uint64_t>(column.start),
                             kMost);
        }
    }
    return static_cast<std::int64_t>(work);
}

void expand_edge_type(HopContext& context, std::size_t index, std::uint64_t hop) {
    const GraphStore& graph = context.graph;
    const EdgeType& edge_type = graph.edge_types[index];
    const std::string& key = graph.edge_type_keys[index];
    const std::string& source = source_type(edge_type);

    throw_if_interrupted();  // once per edge type and hop, however small
    std::vector<std::int64_t>& edge_counts = context.call.working.num_sampled_edges.at(key);
    edge_counts.push_back(0);
    const HopParameter parameter = read_hop_parameter(context.request.edge_types[index], hop);
    const bool with_time = samples_with_time(context, source);
    // Before the early return below: an edge type whose destination is not a
    // node type fails at every hop that reaches it, even one that would read
    // nothing (k = 0), so a call's success never depends on its counts.
    const FrontierRange frontier = frontier_of(context, key, destination_type(edge_type));
    // Time windows read columns only when the hop samples with time; counts
    // read them unless k = 0.
    const bool reads_columns = parameter.by_time_window ? with_time : parameter.k != 0;
    if (!reads_columns) {
        return;
    }

    // Resolved once here; nothing below looks a name up again.
    EdgeExpansion expansion{key,
                            source,
                            graph.colptr_data.at(key).view,
                            graph.row_data.at(key).view,
                            node_time_of(graph, source),
                            context.call.books[source],
                            context.call.working.sampled_edges.at(key),
                            context.generator,
                            context.call.selection,
                            context.call.signal_poll};
    const NodeBook& destination = context.call.books[destination_type(edge_type)];
    std::vector<ColumnRange>& columns = context.call.columns;
    gather_columns(expansion, destination.nodes(), frontier.begin, frontier.end, columns);
    // Every admission records one edge, so this pass's count is how much the
    // edge list grew.
    const std::size_t edges_before = expansion.sampled_edges.size();

    const PrefetchesAhead prefetches(expansion, columns, with_time);
    for (std::size_t chunk = 0; chunk < columns.size(); chunk += kChunk) {
        const std::size_t chunk_end = std::min(columns.size(), chunk + kChunk);
        prefetches.before(chunk);
        expansion.signal_poll.after(chunk_work(columns, chunk, chunk_end));
        expand_chunk(expansion, parameter, context.call, destination, frontier.begin, chunk,
                     chunk_end, with_time);
    }
    edge_counts.back() += static_cast<std::int64_t>(expansion.sampled_edges.size() - edges_before);
}

void advance_frontiers(HopContext& context) {
    for (const std::string& node_type : context.graph.node_types) {
        FrontierRange& frontier = context.call.frontier.at(node_type);
        const NodeBook& book = context.call.books[node_type];
        frontier = FrontierRange{frontier.end, book.size()};

        context.call.working.num_sampled_nodes.at(node_type).push_back(
            static_cast<std::int64_t>(frontier.end - frontier.begin));
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
    for (std::uint64_t hop = 0; hop < context.request.num_hops; ++hop) {
        run_hop(context, hop);
    }
}

}  // namespace corvane
