#pragma once

#include <cstdint>

#include "sampling/call_state.h"
#include "sampling/edge_expansion.h"

namespace corvane {

// Chooses k of the candidate positions in `column` (all of them when k < 0 or
// k >= their number; otherwise k distinct ones by Floyd's method, one engine
// draw each) and admits each at once, in the order chosen.
void select_neighbors(EdgeExpansion& expansion, SampledNode frontier_entry,
                      std::int64_t destination_local, ColumnRange column, std::int64_t k);

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

}  // namespace corvane
