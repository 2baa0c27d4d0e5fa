#pragma once

#include "graph/graph_store.h"
#include "sampling/call_state.h"

namespace corvane {

// One sample call's hold on the sampler's call state, from its first step to
// its return or its exception:
// - it refuses a call made while another is running. Python code runs inside
//   a call (a dict subclass's __getitem__, an offset's __index__, a signal
//   handler) and could call sample on the same sampler again, from this
//   thread or another, and empty the state under the outer call;
// - it resets the state for this call, keeping the storage earlier calls
//   grew;
// - it empties the working maps when the call ends, however it ends, so that
//   nothing of a failed call reaches the next one.
class CallScope {
public:
    CallScope(const GraphStore& graph, CallState& call);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    CallState& call_;
};

}  // namespace corvane
