#pragma once

#include <cstddef>

#include "base/int64_view.h"
#include "graph/graph_store.h"
#include "sampling/call_state.h"

namespace corvane {

// The seeds of a call: their ids, and their times (empty when none were given).
struct SeedView {
    Int64View nodes;
    Int64View times;
};

// Gives every node type and edge type its initial working-map entries and
// empties the call's bookkeeping.
void start_call(const GraphStore& graph, CallState& call);

// Enters the seeds as the first frontier of node type `entity` (seed i gets
// batch i and local index i), takes their times, and reports them as hop 0.
void enter_seeds(const GraphStore& graph, std::size_t entity, SeedView seeds, CallState& call);

}  // namespace corvane
