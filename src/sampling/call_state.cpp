#include "sampling/call_state.h"

#include <functional>

namespace corvane {

std::size_t SampledNodeHash::operator()(const SampledNode& key) const noexcept {
    const std::size_t batch_hash = std::hash<std::int64_t>{}(key.batch);
    const std::size_t node_hash = std::hash<std::int64_t>{}(key.node);
    return batch_hash ^ (node_hash + 0x9e3779b97f4a7c15ULL + (batch_hash << 6) + (batch_hash >> 2));
}

std::int64_t NodeBook::admit(SampledNode node) {
    const auto [entry, inserted] =
        local_index_.try_emplace(node, static_cast<std::int64_t>(nodes_.size()));
    if (inserted) {
        nodes_.push_back(node);
    }
    return entry->second;
}

}  // namespace corvane
