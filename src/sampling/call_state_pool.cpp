#include "sampling/call_state_pool.h"

#include <utility>

namespace corvane {

namespace {

constexpr std::size_t kProcessStates = 4;
constexpr std::size_t kProcessBytes = std::size_t{128} << 20;

template <class Value>
std::size_t bytes_of(const std::vector<Value>& values) {
    return values.capacity() * sizeof(Value);
}

template <class Value>
std::size_t bytes_of(const std::vector<std::vector<Value>>& lists) {
    std::size_t bytes = lists.capacity() * sizeof(std::vector<Value>);
    for (const std::vector<Value>& list : lists) {
        bytes += bytes_of(list);
    }
    return bytes;
}

}  // namespace

std::size_t storage_bytes(const CallState& state) {
    std::size_t bytes = bytes_of(state.books);
    for (const NodeBook& book : state.books) {
        bytes += book.storage_bytes();
    }
    const WorkingMaps& working = state.working;
    const SelectionScratch& selection = state.selection;
    return bytes + bytes_of(state.frontiers) + bytes_of(state.seed_times) +
           bytes_of(state.columns) + bytes_of(working.num_sampled_nodes) +
           bytes_of(working.num_sampled_edges) + bytes_of(working.sampled_edges) +
           bytes_of(selection.taken) + bytes_of(selection.taken_bytes) +
           bytes_of(selection.taken_slots) + bytes_of(selection.chosen) +
           bytes_of(selection.chosen_ahead);
}

CallStatePool::CallStatePool(std::size_t max_states, std::size_t max_bytes)
    : max_states_(max_states), max_bytes_(max_bytes) {
    kept_.reserve(max_states_);
}

std::unique_ptr<CallState> CallStatePool::take() {
    std::unique_ptr<CallState> state;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!kept_.empty()) {
            state = std::move(kept_.back().state);
            kept_bytes_ -= kept_.back().bytes;
            kept_.pop_back();
        }
    }
    if (!state) {
        return std::make_unique<CallState>();
    }
    state->signal_poll = SignalPoll();
    return state;
}

// `state` is freed, when not kept, on return: after the lock is released.
void CallStatePool::give_back(std::unique_ptr<CallState> state) noexcept {
    if (!state || state->running) {
        return;
    }
    const std::size_t bytes = storage_bytes(*state);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (kept_.size() < max_states_ && bytes <= max_bytes_ - kept_bytes_) {
        kept_.push_back(Kept{std::move(state), bytes});
        kept_bytes_ += bytes;
    }
}

std::size_t CallStatePool::kept_states() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return kept_.size();
}

CallStatePool& CallStatePool::process() {
    static CallStatePool pool(kProcessStates, kProcessBytes);
    return pool;
}

}  // namespace corvane
