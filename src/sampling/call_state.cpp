#include "sampling/call_state.h"

namespace corvane {

void NodeBook::clear() {
    local_index_.clear(nodes_.size());
    nodes_.clear();
    seed_count_ = 0;
}

void CallState::reset() {
    for (auto& [node_type, book] : books) {
        book.clear();
    }
    frontier.clear();
    seed_times.clear();
}

}  // namespace corvane
