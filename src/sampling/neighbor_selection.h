#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/call_state.h"
#include "sampling/edge_expansion.h"

namespace corvane {

// Enters the neighbour at row position `position` into the tree of
// `frontier_entry` (de-duplicated within that tree) and records the edge.
// Inline: it runs once per sampled edge.
inline void admit_neighbor(EdgeExpansion& expansion, std::int64_t position,
                           SampledNode frontier_entry, std::int64_t destination_local) {
    const std::int64_t neighbor = expansion.row[position];
    const std::int64_t neighbor_local =
        expansion.source.admit(SampledNode{frontier_entry.batch, neighbor});
    expansion.sampled_rows.push_back(neighbor_local);
    expansion.sampled_cols.push_back(destination_local);
}

// k distinct positions of `column` (0 < k < its size) by Floyd's method, one
// engine draw each, admitted in the order chosen.
void admit_random_subset(EdgeExpansion& expansion, SampledNode frontier_entry,
                         std::int64_t destination_local, ColumnRange column, std::int64_t k);

// Count selections without time for the frontier nodes [begin, end) of a
// chunk (positions into `columns`), planned in node order before any of them
// is admitted, so that the rows their draws chose load together. Draws never
// depend on admissions, so results are those of node-by-node selection.
// Planning stops at the first node whose column is invalid, before taking
// its draws, and returns how many nodes were planned; that node is then
// reported when its turn comes. k must not be 0.
std::size_t plan_selections(EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                            std::size_t frontier_begin, const std::vector<ColumnRange>& columns,
                            std::size_t begin, std::size_t end, std::int64_t k);

// Admits the neighbours planned for the `index`-th node of the chunk.
void admit_planned(EdgeExpansion& expansion, SampledNode frontier_entry,
                   std::int64_t destination_local, std::size_t index);

// Chooses k of the candidate positions in `column` (all of them when k < 0 or
// k >= their number; otherwise k distinct ones at random) and admits each at
// once, in the order chosen. Inline: it runs once per expanded node.
inline void select_neighbors(EdgeExpansion& expansion, SampledNode frontier_entry,
                             std::int64_t destination_local, ColumnRange column, std::int64_t k) {
    if (k < 0 || k >= column.size()) {
        for (std::int64_t position = column.start; position < column.end; ++position) {
            admit_neighbor(expansion, position, frontier_entry, destination_local);
        }
    } else if (k > 0) {
        admit_random_subset(expansion, frontier_entry, destination_local, column, k);
    }
}

}  // namespace corvane
