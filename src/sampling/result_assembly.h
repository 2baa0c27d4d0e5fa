#pragma once

#include "graph/graph_store.h"
#include "graph/neighbor_sampler.h"
#include "sampling/call_state.h"

namespace corvane {

// Copies the working maps and the nodes of the call's books into six new
// dictionaries of int64 arrays, in node type and edge type order. The call's
// scope empties the maps afterwards.
SampleResult assemble_results(const GraphStore& graph, const CallState& call);

}  // namespace corvane
