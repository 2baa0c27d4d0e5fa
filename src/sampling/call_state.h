#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "sampling/always_inline.h"
#include "sampling/node_index.h"
#include "sampling/sampled_node.h"
#include "sampling/signal_poll.h"

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

    // Forgets every node but keeps the storage for the next call.
    void clear();

private:
    std::vector<SampledNode> nodes_;
    std::int64_t seed_count_ = 0;  // the seeds at the start of nodes_
    NodeIndex local_index_;
};

// Positions [start, end) of an edge type's row array: one node's neighbours.
struct ColumnRange {
    std::int64_t start = 0;
    std::int64_t end = 0;

    std::int64_t size() const { return end - start; }
    bool empty() const { return end == start; }
    // A column whose end lies before its start is empty.
    ColumnRange normalised() const { return end <= start ? ColumnRange{start, start} : *this; }
};

// Positions [begin, end) of a node type's list: the nodes a hop expands.
struct FrontierRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The count selections of one chunk of frontier nodes, planned before any
// node of the chunk is admitted: the offsets drawn for its random subsets, k
// per subset, in node order.
struct SelectionPlan {
    std::vector<std::int64_t> chosen;
    std::size_t next = 0;  // the first offset not admitted yet
};

// Working storage of random selections, reused from one selection (and one
// call) to the next so that selecting allocates nothing in the steady state.
struct SelectionScratch {
    std::vector<std::int64_t> taken;        // offsets marked in taken_bytes
    std::vector<std::uint8_t> taken_bytes;  // one per candidate; zero between selections
    std::vector<std::int64_t> taken_slots;  // hashed offsets; all free between selections
    SelectionPlan plan;                     // the chunk being expanded
};

// The bookkeeping of one sample call. The sampler keeps one and resets it at
// the start of every call, so storage grown by earlier calls is reused.
struct CallState {
    // Node type -> sampled nodes. Types outside node_types get a book on first
    // use, but no frontier, so their nodes are never expanded or reported.
    std::unordered_map<std::string, NodeBook> books;
    std::unordered_map<std::string, FrontierRange> frontier;  // node types only
    std::vector<std::int64_t> seed_times;  // by batch; empty: sample without time
    SelectionScratch selection;
    SignalPoll signal_poll;  // carried across edge types and hops
    std::vector<ColumnRange> columns;  // gathered columns of the frontier being expanded

    void reset();
};

}  // namespace corvane
