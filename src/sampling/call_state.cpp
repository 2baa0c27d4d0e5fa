#include "sampling/call_state.h"

namespace corvane {

std::int64_t NodeBook::admit(SampledNode node) {
    bool inserted = false;
    const std::int64_t local = local_index_.find_or_insert(
        node.batch, node.node, static_cast<std::int64_t>(nodes_.size()), inserted);
    if (inserted) {
        nodes_.push_back(node);
    }
    return local;
}

void NodeBook::clear() {
    nodes_.clear();
    local_index_.clear();
}

void CallState::reset() {
    for (auto& [node_type, book] : books) {
        book.clear();
    }
    frontier.clear();
    seed_times.clear();
}

}  // namespace corvane
