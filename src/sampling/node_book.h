#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/always_inline.h"
#include "sampling/node_index.h"
#include "sampling/sampled_node.h"

namespace corvane {

// The nodes of one type sampled so far in a call: their list (position =
// local index) and the de-duplication index that maps (batch, node) to it.
//
// The seeds, when they are of this type, open the list: seed i is the node
// of batch i at local index i, and the only node of its tree that can equal
// it. They are found by that position instead of through the index, which
// holds only the nodes admitted after them.
class NodeBook {
public:
    // Opens the list with the seeds, `count` ids from `seeds`.
    void enter_seeds(const std::int64_t* seeds, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            nodes_.push_back(SampledNode{static_cast<std::int64_t>(i), seeds[i]});
        }
        seed_count_ = static_cast<std::int64_t>(count);
    }

    // The local index of `node`, appending it as a new node if its tree does
    // not hold it yet.
    CORVANE_ALWAYS_INLINE std::int64_t admit(SampledNode node) {
        if (node.batch < seed_count_ &&
            nodes_[static_cast<std::size_t>(node.batch)].node == node.node) {
            return node.batch;  // the seed of its tree
        }
        const NodeIndex::Probe probe = local_index_.find(node, nodes_);
        if (probe.found()) {
            return probe.local;
        }
        // Appended before it is indexed: should the append fail, the index
        // holds no entry for a node the list lacks.
        const auto local = static_cast<std::int64_t>(nodes_.size());
        nodes_.push_back(node);
        local_index_.insert(probe, node, local, nodes_);
        return local;
    }

    const std::vector<SampledNode>& nodes() const { return nodes_; }
    std::size_t size() const { return nodes_.size(); }

    void prefetch(SampledNode node) const { local_index_.prefetch(node); }

    // The bytes its list and index hold, used or not.
    std::size_t storage_bytes() const {
        return nodes_.capacity() * sizeof(SampledNode) + local_index_.storage_bytes();
    }

    // Forgets every node but keeps the storage for the next call.
    void clear();

private:
    std::vector<SampledNode> nodes_;
    std::int64_t seed_count_ = 0;  // the seeds at the start of nodes_
    NodeIndex local_index_;
};

}  // namespace corvane
