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

// Admits every position of `column` in ascending order: the selection of all
// candidates, which takes no draw. Inline: it runs once per expanded node.
inline void admit_all(EdgeExpansion& expansion, SampledNode frontier_entry,
                      std::int64_t destination_local, ColumnRange column) {
    for (std::int64_t position = column.start; position < column.end; ++position) {
        admit_neighbor(expansion, position, frontier_entry, destination_local);
    }
}

}  // namespace corvane
