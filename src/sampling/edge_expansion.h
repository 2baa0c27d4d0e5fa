#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/int64_view.h"
#include "random/random_engine.h"
#include "sampling/call_state.h"
#include "sampling/sampling_errors.h"

namespace corvane {

// Everything that expanding one edge type in one hop reads and writes,
// resolved by key once, so that the work per neighbour touches only plain
// arrays and the call's own containers.
struct EdgeExpansion {
    const std::string& key;
    const std::string& source_type;
    Int64View colptr;
    Int64View row;
    Int64View source_time;  // empty when the source type has no node times
    NodeBook& source;       // where admitted neighbours are entered
    std::vector<std::int64_t>& sampled_rows;  // one per recorded edge
    std::vector<std::int64_t>& sampled_cols;
    RandomEngine& generator;
    SelectionScratch& selection;
};

// The colptr entries of every frontier node in `frontier`, read in one
// sweep so that their cache misses overlap. Nothing is checked here: an
// entry for a node outside colptr is left as it is, and checked_column
// reports it when (and if) the node's column is used.
void gather_columns(const EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                    std::size_t begin, std::size_t end, std::vector<ColumnRange>& columns);

// Whether checked_column would accept the gathered column of `node`.
bool column_is_valid(const EdgeExpansion& expansion, std::int64_t node, ColumnRange gathered);

// The column of `node` as gathered, checked against colptr and row. A column
// whose end lies before its start is empty.
ColumnRange checked_column(const EdgeExpansion& expansion, std::int64_t node,
                           ColumnRange gathered);

// Cache-line requests for a frontier node that will be expanded soon: the
// start and middle of its column, and once those have landed, for temporal
// selection, the de-duplication slots and times of a short column's
// neighbours. Columns outside row are left alone.
void prefetch_column(const EdgeExpansion& expansion, ColumnRange gathered);
void prefetch_neighbors(const EdgeExpansion& expansion, SampledNode entry, ColumnRange gathered);

// Number of a column's first neighbours whose index slots are requested
// ahead of admission: one cache line of row.
constexpr std::int64_t kRequestedNeighbors = 8;

// Requests the index slots of the first neighbours of `column`, a column
// inside row.
inline void request_column_slots(const EdgeExpansion& expansion, SampledNode entry,
                                 ColumnRange column) {
    const std::int64_t end = std::min(column.end, column.start + kRequestedNeighbors);
    for (std::int64_t position = column.start; position < end; ++position) {
        expansion.source.prefetch(SampledNode{entry.batch, expansion.row[position]});
    }
}

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
