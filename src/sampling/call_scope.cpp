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
    call_.running = true;
    try {
        start_call(graph, call_);
    } catch (...) {
        call_.working.clear();
        call_.running = false;
        throw;
    }
}

CallScope::~CallScope() {
    call_.working.clear();
    call_.running = false;
}

}  // namespace corvane
