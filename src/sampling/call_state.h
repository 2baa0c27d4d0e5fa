#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "sampling/column_range.h"
#include "sampling/node_book.h"
#include "sampling/selection_scratch.h"
#include "sampling/signal_poll.h"
#include "sampling/working_maps.h"

namespace corvane {

// The bookkeeping of one sample call. The sampler keeps one and resets it at
// the start of every call (see CallScope), so storage grown by earlier calls
// is reused.
struct CallState {
    bool running = false;  // a call is between its scope's start and end
    WorkingMaps working;
    // Node type -> sampled nodes. Types outside node_types get a book on first
    // use, but no frontier, so their nodes are never expanded or reported.
    std::unordered_map<std::string, NodeBook> books;
    std::unordered_map<std::string, FrontierRange> frontier;  // node types only
    std::vector<std::int64_t> seed_times;  // by batch; empty: sample without time
    SelectionScratch selection;
    SignalPoll signal_poll;  // carried across edge types and hops
    std::vector<ColumnRange> columns;  // gathered columns of the frontier being expanded

    void reset();
};

}  // namespace corvane
