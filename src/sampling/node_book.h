#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/always_inline.h"
#include "sampling/node_index.h"
#include "sampling/sampled_node.h"
#include "sampling/tree_index.h"

namespace corvane {

// How a pass admits into a book, fixed for the pass's whole loop: by tree
// (the small table of the tree admitted into, the call's index once the book
// moves there), or only through the index of the whole call. The second is
// the loop of a book that stays small, compiled without any tree work: a
// test per admission of which way to go cost such passes 5-10%.
enum class BookMode { kCallIndex, kTrees };

// The nodes of one type sampled so far in a call: their list (position =
// local index) and the de-duplication that maps (batch, node) to it.
//
// The seeds, when they are of this type, open the list: seed i is the node
// of batch i at local index i, and the only node of its tree that can equal
// it. They are found by that position, and no table holds them.
//
// De-duplication goes tree by tree: a small table (TreeIndex) holds the
// nodes of the tree being admitted into, and admitting into another tree
// opens that tree, refilling the table with its earlier nodes. A frontier
// lists its nodes tree by tree, so one edge type's pass admits into each tree
// in one stretch, and a tree's nodes after its seed are a run of the list per
// stretch, recorded as they close.
//
// A pass whose book stays small (at most kSmallBook nodes with what the pass
// may admit) goes to one index of the whole call (NodeIndex) instead, which
// then stays in the caches too, without a table to open per tree: on small
// trees (a few admissions each) opening them cost 10-25%. That index holds a
// prefix of the list and catches up when a pass turns to it again; so do the
// runs, found by reading the batches of the nodes listed since, when a large
// pass goes tree by tree again.
//
// Where frontiers are not ordered by tree (edge types admitting into one type
// in one hop make a frontier of several runs) trees reopen often; once
// refilling has cost more than kRefillsPerNode entries per listed node, or
// the trees' run heads would outgrow the list, the book keeps to the index of
// the whole call for the rest of the call. Whichever way, a node gets the
// same local index: the first position its tree entered it at.
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
    template <BookMode kMode = BookMode::kTrees>
    CORVANE_ALWAYS_INLINE std::int64_t admit(SampledNode node) {
        if (node.batch < seed_count_ &&
            nodes_[static_cast<std::size_t>(node.batch)].node == node.node) {
            return node.batch;  // the seed of its tree
        }
        if constexpr (kMode == BookMode::kTrees) {
            if (by_tree_) {
                if (__builtin_expect(node.batch != open_batch_, 0)) {
                    return admit_opening(node);
                }
                return admit_to_tree(node);
            }
        }
        return admit_to_call_index(node);
    }

    // Starts a pass that may admit about `expected` nodes: by tree, or, when
    // the book stays small, through the index of the whole call.
    void start_pass(std::size_t expected);

    // Whether admitting into the tree of `batch` would open it: a caller that
    // knows about how many nodes it will admit there opens it itself.
    bool opens_tree(std::int64_t batch) const { return by_tree_ && batch != open_batch_; }

    // Opens the tree of `batch`, expecting about `expected` admissions into
    // it; false when admissions go to the index of the whole call instead.
    // Inline for a tree that holds no node yet, the common case.
    CORVANE_ALWAYS_INLINE bool open_tree(std::int64_t batch, std::size_t expected) {
        const auto slot = static_cast<std::size_t>(batch);
        if (slot < last_run_.size() && last_run_[slot] == kNoRun) {
            close_tree();
            tree_.open(batch, std::min(expected, kMostExpected), nodes_.size());
            open_batch_ = batch;
            open_start_ = nodes_.size();
            return true;
        }
        return reopen_tree(batch, expected);
    }

    // Whether look-ups go to the small table of one tree, which stays in the
    // caches, rather than to the index of the whole call, whose slots are
    // worth prefetching.
    bool indexes_by_tree() const { return by_tree_; }

    // The mode of the pass that start_pass began.
    BookMode mode() const { return by_tree_ ? BookMode::kTrees : BookMode::kCallIndex; }

    const std::vector<SampledNode>& nodes() const { return nodes_; }
    std::size_t size() const { return nodes_.size(); }

    void prefetch(SampledNode node) const { local_index_.prefetch(node); }

    // The bytes its list and indices hold, used or not.
    std::size_t storage_bytes() const {
        return nodes_.capacity() * sizeof(SampledNode) + local_index_.storage_bytes() +
               tree_.storage_bytes() + runs_.capacity() * sizeof(Run) +
               last_run_.capacity() * sizeof(std::int64_t);
    }

    // Forgets every node but keeps the storage for the next call.
    void clear();

    // Expected admissions beyond this many do not size a tree's table.
    static constexpr std::size_t kMostExpected = TreeIndex::kMostExpected;
    // Books of at most this many nodes admit through the index of the whole
    // call, whose table (up to 64 bytes a node) then fits the L2 cache.
    static constexpr std::size_t kSmallBook = std::size_t{1} << 14;

private:
    // Positions [start, end) of the list: one stretch of a tree's admissions.
    struct Run {
        std::size_t start;
        std::size_t end;
        std::int64_t previous;  // the tree's run before, or kNoRun
    };
    static constexpr std::int64_t kNoRun = -1;
    static constexpr std::size_t kRefillsPerNode = 2;
    static constexpr std::size_t kRefillAllowance = 256;
    static constexpr std::size_t kRunHeadsPerNode = 4;
    static constexpr std::size_t kRunHeadAllowance = 4096;

    CORVANE_ALWAYS_INLINE std::int64_t admit_to_tree(SampledNode node) {
        const TreeIndex::Probe probe = tree_.find(node.node);
        if (probe.found()) {
            return probe.local;
        }
        // Appended before it is entered: should the append fail, the table
        // holds no entry for a node the list lacks.
        const auto local = static_cast<std::int64_t>(nodes_.size());
        nodes_.push_back(node);
        tree_.insert(probe, node.node, local);
        return local;
    }

    // Out of line: callers that admit many nodes into a tree open it first.
    std::int64_t admit_opening(SampledNode node);

    CORVANE_ALWAYS_INLINE std::int64_t admit_to_call_index(SampledNode node) {
        const NodeIndex::Probe probe = local_index_.find(node, nodes_);
        if (probe.found()) {
            return probe.local;
        }
        // Appended before it is indexed, as above.
        const auto local = static_cast<std::int64_t>(nodes_.size());
        nodes_.push_back(node);
        local_index_.insert(probe, node, local, nodes_);
        return local;
    }

    // Records the open tree's current stretch, when it admitted anything.
    CORVANE_ALWAYS_INLINE void close_tree() {
        if (open_batch_ >= 0 && nodes_.size() > open_start_) {
            record_run();
        }
        open_batch_ = -1;
    }

    void record_run();
    void record_runs_since(std::size_t position);
    bool reopen_tree(std::int64_t batch, std::size_t expected);
    std::size_t tree_size(std::int64_t batch) const;
    void refill_tree(std::int64_t batch);
    void index_whole_call();
    void catch_up_call_index();

    std::vector<SampledNode> nodes_;
    std::int64_t seed_count_ = 0;  // the seeds at the start of nodes_
    bool records_runs_ = true;  // false: the call's index takes every admission to its end
    bool by_tree_ = true;       // this pass admits by tree; false: through the call's index
    std::size_t indexed_ = 0;   // the call's index holds the nodes before this position
    std::size_t recorded_ = 0;  // runs_ holds the nodes before this position
    TreeIndex tree_;
    std::int64_t open_batch_ = -1;  // the tree that tree_ holds; -1: none
    std::size_t open_start_ = 0;    // where its current stretch began
    std::vector<Run> runs_;
    std::vector<std::int64_t> last_run_;  // by batch: its latest run, or kNoRun
    std::size_t refilled_ = 0;            // entries made by opening trees, this call
    NodeIndex local_index_;
};

}  // namespace corvane
