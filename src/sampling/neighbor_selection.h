#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/always_inline.h"
#include "sampling/column_range.h"
#include "sampling/edge_expansion.h"
#include "sampling/selection_scratch.h"

namespace corvane {

// Enters the neighbour at row position `position` into the tree of
// `frontier_entry` (de-duplicated within that tree) and records the edge.
// Inline: it runs once per sampled edge.
inline void admit_neighbor(EdgeExpansion& expansion, std::int64_t position,
                           SampledNode frontier_entry, std::int64_t destination_local) {
    const std::int64_t neighbor = expansion.row[position];
    const std::int64_t neighbor_local =
        expansion.source.admit(SampledNode{frontier_entry.batch, neighbor});
    expansion.sampled_edges.push_back(SampledEdge{neighbor_local, destination_local});
}

// Whether a count selection of k from `column` takes every candidate (in
// order, without a draw) rather than a random subset.
inline bool takes_all(ColumnRange column, std::int64_t k) { return k < 0 || k >= column.size(); }

// Count selections without time for the frontier nodes [begin, end) of a
// chunk (positions into `columns`), planned in node order before any of them
// is admitted: random subsets take their draws and prefetch the rows they
// chose. Draws never depend on admissions, so results are those of
// node-by-node selection.
// Planning stops at the first node whose column is invalid, before taking
// its draws, and returns how many nodes were planned; that node is then
// reported when its turn comes. k must not be 0.
std::size_t plan_selections(EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                            std::size_t frontier_begin, const std::vector<ColumnRange>& columns,
                            std::size_t begin, std::size_t end, std::int64_t k);

// Admits the positions [first, last) in ascending order. Polled: a look for
// signals at every poll interval of positions; unpolled, the plain loop.
template <bool kPolled>
CORVANE_ALWAYS_INLINE void admit_positions(EdgeExpansion& expansion, SampledNode frontier_entry,
                                           std::int64_t destination_local, std::int64_t first,
                                           std::int64_t last) {
    for (std::int64_t position = first; position < last; ++position) {
        if (kPolled && ((position - first) & (SignalPoll::kInterval - 1)) == 0) {
            expansion.signal_poll.after(SignalPoll::kInterval);
        }
        admit_neighbor(expansion, position, frontier_entry, destination_local);
    }
}

// A column longer than the poll's interval, polled; out of line, as it is rare.
void admit_long_column(EdgeExpansion& expansion, SampledNode frontier_entry,
                       std::int64_t destination_local, ColumnRange column);

// Admits every position of `column` in ascending order: the selection of all
// candidates, which takes no draw. Inline: it runs once per expanded node.
// Its work is charged to the signal poll with its chunk's; only a column too
// long for that is charged as it goes.
inline void admit_all(EdgeExpansion& expansion, SampledNode frontier_entry,
                      std::int64_t destination_local, ColumnRange column) {
    if (column.size() > SignalPoll::kInterval) {
        admit_long_column(expansion, frontier_entry, destination_local, column);
        return;
    }
    admit_positions<false>(expansion, frontier_entry, destination_local, column.start, column.end);
}

// Admits the neighbours at the drawn offsets [first, last) of `column`, in
// the order drawn, after prefetching their index slots.
inline void admit_chosen(EdgeExpansion& expansion, SampledNode frontier_entry,
                         std::int64_t destination_local, ColumnRange column,
                         const std::int64_t* first, const std::int64_t* last) {
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        expansion.source.prefetch(
            SampledNode{frontier_entry.batch, expansion.row[column.start + *offset]});
    }
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        admit_neighbor(expansion, column.start + *offset, frontier_entry, destination_local);
    }
}

// Admits the next planned node of the chunk: its whole (normalised) column,
// or the k offsets drawn for it. Inline: it runs once per expanded node.
inline void admit_planned(EdgeExpansion& expansion, SampledNode frontier_entry,
                          std::int64_t destination_local, ColumnRange column, std::int64_t k) {
    if (takes_all(column, k)) {
        admit_all(expansion, frontier_entry, destination_local, column);
        return;
    }
    SelectionPlan& plan = expansion.selection.plan;
    const std::int64_t* first = plan.chosen.data() + plan.next;
    plan.next += static_cast<std::size_t>(k);
    admit_chosen(expansion, frontier_entry, destination_local, column, first, first + k);
}

}  // namespace corvane
