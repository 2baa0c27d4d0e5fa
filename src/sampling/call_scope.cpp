#include "sampling/call_scope.h"

#include "graph/whole_message_error.h"
#include "sampling/call_setup.h"

namespace corvane {

CallScope::CallScope(const GraphStore& graph, CallState& call) : call_(call) {
    if (call_.running) {
        throw RuntimeFailure(
            "sample was called on a NeighborSampler whose previous sample call has not "
            "returned yet.");
    }
    // Should it fail, no call is running, and the next start resets again.
    start_call(graph, call_);
    call_.running = true;
}

CallScope::~CallScope() {
    call_.working.clear();
    call_.running = false;
}

}  // namespace corvane
