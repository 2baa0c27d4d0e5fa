#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "graph/int64_view.h"
#include "random/random_engine.h"
#include "sampling/call_state.h"

namespace corvane {

// Positions [start, end) of an edge type's row array: one node's neighbours.
struct ColumnRange {
    std::int64_t start;
    std::int64_t end;

    std::int64_t size() const { return end - start; }
    bool empty() const { return end == start; }
};

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
    std::vector<std::int64_t>& edge_counts;  // last element: this hop's count
    std::vector<std::int64_t>& sampled_rows;
    std::vector<std::int64_t>& sampled_cols;
    RandomEngine& generator;
    SelectionScratch& selection;
};

// The column of `node`, checked against colptr and row. A column whose end
// lies before its start is empty.
ColumnRange read_column(const EdgeExpansion& expansion, std::int64_t node);

// Cache-line requests for a frontier node that will be expanded soon, so that
// the misses of neighbouring frontier nodes overlap instead of queueing. Each
// step assumes the one before it has landed: first the node's colptr entry,
// then the start and middle of its column, then the de-duplication slots
// (and, for temporal selection, the times) of a short column's neighbours.
// Ids outside the arrays are left alone; they fail when they are read.
void prefetch_colptr(const EdgeExpansion& expansion, std::int64_t node);
void prefetch_column(const EdgeExpansion& expansion, std::int64_t node);
void prefetch_neighbors(const EdgeExpansion& expansion, SampledNode entry, bool with_time);

// The time of the neighbour at row position `position` (inside a column read
// by read_column), checked against the source type's node_time.
std::int64_t neighbor_time(const EdgeExpansion& expansion, std::int64_t position);

}  // namespace corvane
