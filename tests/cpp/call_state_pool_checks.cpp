// Checks of the pool of call states: which states it keeps, within its
// bounds, and which it gives out. Prints one "<check> pass|fail" line per
// check and exits with 1 when any fails (ctest runs it: make test-cpp).
#include <iostream>
#include <memory>
#include <utility>
#include <vector>

#include "sampling/call_state_pool.h"

namespace {

using corvane::CallState;
using corvane::CallStatePool;

constexpr std::size_t kBytes = 1 << 20;

// A state whose edge list holds `bytes` of storage.
std::unique_ptr<CallState> state_holding(std::size_t bytes) {
    auto state = std::make_unique<CallState>();
    state->working.sampled_edges.resize(1);
    state->working.sampled_edges[0].reserve(bytes / sizeof(corvane::SampledEdge));
    return state;
}

// Given back last, taken first, with its storage; beyond two states, freed.
bool keeps_the_last_states_given_back() {
    CallStatePool pool(2, kBytes);
    std::vector<CallState*> given;
    for (int i = 0; i < 3; ++i) {
        auto state = state_holding(1000);
        given.push_back(state.get());
        pool.give_back(std::move(state));
    }
    const bool two_kept = pool.kept_states() == 2;
    const auto second = pool.take();
    const auto first = pool.take();
    return two_kept && second.get() == given[1] && first.get() == given[0] &&
           corvane::storage_bytes(*first) >= 1000 && pool.kept_states() == 0;
}

// States are kept while their bytes add up to at most the bound.
bool keeps_no_more_bytes_than_its_bound() {
    CallStatePool pool(4, kBytes);
    pool.give_back(state_holding(kBytes + 16));  // alone over the bound
    const bool large_freed = pool.kept_states() == 0;
    pool.give_back(state_holding(kBytes / 2));
    pool.give_back(state_holding(kBytes / 2));  // the two reach the bound, with their lists
    const bool second_half_freed = pool.kept_states() == 1;
    const auto taken = pool.take();  // the bytes it took leave room again
    pool.give_back(state_holding(kBytes / 2));
    return large_freed && second_half_freed && pool.kept_states() == 1;
}

// A state whose call has not returned is never handed to another sampler.
bool frees_a_running_state() {
    CallStatePool pool(2, kBytes);
    auto state = std::make_unique<CallState>();
    state->running = true;
    pool.give_back(std::move(state));
    return pool.kept_states() == 0 && !pool.take()->running;
}

}  // namespace

int main() {
    bool all_passed = true;
    const auto report = [&all_passed](const char* name, bool passed) {
        std::cout << name << (passed ? " pass" : " fail") << '\n';
        all_passed = all_passed && passed;
    };
    report("keeps_the_last_states_given_back", keeps_the_last_states_given_back());
    report("keeps_no_more_bytes_than_its_bound", keeps_no_more_bytes_than_its_bound());
    report("frees_a_running_state", frees_a_running_state());
    return all_passed ? 0 : 1;
}
