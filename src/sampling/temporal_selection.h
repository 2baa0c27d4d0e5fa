#pragma once

#include <cstdint>

#include "sampling/column_range.h"
#include "sampling/edge_expansion.h"
#include "sampling/frontier.h"

namespace corvane {

// A hop's time window relative to the seed time: (seed + lower, seed + upper],
// or (-inf, seed + upper] without a lower offset.
struct TimeOffsets {
    bool has_lower = false;
    std::int64_t lower = 0;
    std::int64_t upper = 0;
};

// Admits every neighbour in `column` (checked) whose time lies in the window,
// oldest first. Columns must be sorted by time.
// Both are compiled for each BookMode of the pass.
template <BookMode kMode>
void select_time_window(EdgeExpansion& expansion, FrontierNode destination, ColumnRange column,
                        TimeOffsets offsets, std::int64_t seed_time);

// Admits the k most recent neighbours not later than the seed time (all of
// them when k < 0), oldest first. k must not be 0.
template <BookMode kMode>
void select_most_recent(EdgeExpansion& expansion, FrontierNode destination, ColumnRange column,
                        std::int64_t k, std::int64_t seed_time);

}  // namespace corvane
