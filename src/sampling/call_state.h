#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/column_range.h"
#include "sampling/frontier.h"
#include "sampling/node_book.h"
#include "sampling/selection_scratch.h"
#include "sampling/signal_poll.h"
#include "sampling/working_maps.h"

namespace corvane {

// The bookkeeping of one sample call. The sampler keeps one and start_call
// empties it at the start of every call (see CallScope), so storage grown by
// earlier calls is reused.
struct CallState {
    bool running = false;  // a call is between its scope's start and end
    WorkingMaps working;
    // By node type, as the graph numbers them. An unlisted type's nodes are
    // entered in its book but its frontier stays empty, so they are never
    // expanded or reported.
    std::vector<NodeBook> books;
    std::vector<FrontierRange> frontiers;
    std::vector<std::int64_t> seed_times;  // by batch; empty: sample without time
    SelectionScratch selection;
    SignalPoll signal_poll;  // carried across edge types and hops
    std::vector<ColumnRange> columns;  // gathered columns of the frontier being expanded
};

}  // namespace corvane
