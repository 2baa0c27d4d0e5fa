#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/column_range.h"
#include "sampling/edge_expansion.h"
#include "sampling/frontier.h"
#include "sampling/prefetch_schedule.h"

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

// Where the most recent selections of a chunk's long columns end (the first
// neighbour later than the seed time), found for all of them at once: their
// searches step in turn, so that the loads of different searches overlap
// instead of each probe waiting for the one before it. Each search probes
// exactly the positions that its own search would. A column that is
// invalid, or short (its times are prefetched already), or whose search
// meets a neighbour outside node_time, gets no end here: its selection
// searches on its own turn and reports the error there, in node order.
struct ChunkSearchEnds {
    std::array<std::int64_t, kChunkNodes> end;
    std::array<bool, kChunkNodes> found;
};
// False where no column of the chunk is searched here.
bool search_most_recent_ends(const EdgeExpansion& expansion, const Frontier& frontier,
                             ChunkRange chunk, const std::vector<std::int64_t>& seed_times,
                             ChunkSearchEnds& ends);

// As select_most_recent, with the search's end already found.
template <BookMode kMode>
void select_most_recent_ending(EdgeExpansion& expansion, FrontierNode destination,
                               ColumnRange column, std::int64_t k, std::int64_t end);

}  // namespace corvane
