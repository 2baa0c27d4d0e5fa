#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/int64_view.h"
#include "random/random_engine.h"
#include "sampling/column_range.h"
#include "sampling/frontier.h"
#include "sampling/node_book.h"
#include "sampling/sampling_errors.h"
#include "sampling/selection_scratch.h"
#include "sampling/signal_poll.h"
#include "sampling/working_maps.h"

namespace corvane {

// Everything that expanding one edge type in one hop reads and writes,
// resolved from the graph's numbers once per edge type and hop, so that the
// work per neighbour touches only plain arrays and the call's own containers.
struct EdgeExpansion {
    const std::string& key;
    const std::string& source_type;
    Int64View colptr;
    Int64View row;
    Int64View source_time;  // empty when the source type has no node times
    NodeBook& source;       // where admitted neighbours are entered
    std::vector<SampledEdge>& sampled_edges;  // one per recorded edge
    RandomEngine& generator;
    SelectionScratch& selection;
    SignalPoll& signal_poll;
};

// The colptr entries of the frontier nodes nodes[frontier.begin, frontier.end), read in one
// sweep so that their cache misses overlap. Nothing is checked here: an
// entry for a node outside colptr is left as it is, and checked_column
// reports it when (and if) the node's column is used.
void gather_columns(const EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                    FrontierRange frontier, std::vector<ColumnRange>& columns);

// Node v's column is colptr[v] .. colptr[v + 1], so v + 1 must be in range.
inline bool has_column(const Int64View& colptr, std::int64_t node) {
    return node >= 0 && node < colptr.length() - 1;
}

// A non-empty column that lies inside row.
inline bool inside_row(const EdgeExpansion& expansion, ColumnRange column) {
    return column.start < column.end && column.start >= 0 && column.end <= expansion.row.length();
}

// Whether checked_column would accept the gathered column of `node`.
// Inline, as the checks above: they run once per expanded node.
inline bool column_is_valid(const EdgeExpansion& expansion, std::int64_t node,
                            ColumnRange gathered) {
    return has_column(expansion.colptr, node) &&
           (gathered.end <= gathered.start || inside_row(expansion, gathered));
}

// The column of `node` as gathered, checked against colptr and row. A column
// whose end lies before its start is empty.
ColumnRange checked_column(const EdgeExpansion& expansion, std::int64_t node, ColumnRange gathered);

// The time of the neighbour at row position `position` (inside a column read
// by checked_column), checked against the source type's node_time. Inline:
// every probe of a temporal search reads one.
inline std::int64_t neighbor_time(const EdgeExpansion& expansion, std::int64_t position) {
    const std::int64_t neighbor = expansion.row[position];
    if (!expansion.source_time.contains_index(neighbor)) {
        throw_node_outside_node_time(expansion.source_type, neighbor,
                                     expansion.source_time.length());
    }
    return expansion.source_time[neighbor];
}

}  // namespace corvane
