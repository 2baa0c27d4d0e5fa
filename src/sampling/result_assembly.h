#pragma once

#include "graph/graph_store.h"
#include "graph/neighbor_sampler.h"
#include "graph/working_maps.h"

namespace corvane {

// Copies the working maps into six new dictionaries of int64 arrays, in node
// type and edge type order, and empties the working maps.
SampleResult assemble_results(const GraphStore& graph, WorkingMaps& working);

}  // namespace corvane
