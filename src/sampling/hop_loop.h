#pragma once

#include <cstdint>

#include "graph/graph_store.h"
#include "random/random_engine.h"
#include "sampling/call_state.h"
#include "sampling/hop_parameter.h"

namespace corvane {

// What every hop of one sample call works on.
struct HopContext {
    const GraphStore& graph;
    const HopParameters& parameters;
    CallState& call;
    RandomEngine& generator;
};

// Expands the current frontier along every edge type, in order, then moves
// each node type's frontier on to the nodes that this hop admitted.
void run_hop(HopContext& context, std::uint64_t hop);

// Every hop of the call, in order, once the per-hop counters have room for
// all of them (std::bad_alloc or std::length_error, before any draw, when
// they cannot have it).
void run_hops(HopContext& context);

}  // namespace corvane
