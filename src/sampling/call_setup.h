#pragma once

#include <string>

#include "graph/graph_store.h"
#include "sampling/call_state.h"
#include "sampling/request_validation.h"

namespace corvane {

// Gives every node type and edge type its initial working-map entries and
// empties the call's bookkeeping.
void start_call(const GraphStore& graph, CallState& call);

// Enters the seeds as the first frontier of `entity_table` (seed i gets batch
// i and local index i), takes their times, and reports them as hop 0.
void enter_seeds(const GraphStore& graph, const std::string& entity_table,
                 const SeedArrays& seeds, CallState& call);

}  // namespace corvane
