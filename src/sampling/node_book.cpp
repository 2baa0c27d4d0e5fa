#include "sampling/node_book.h"

#include <algorithm>

namespace corvane {

void NodeBook::record_run() {
    std::int64_t& last = last_run_[static_cast<std::size_t>(open_batch_)];
    runs_.push_back(Run{open_start_, nodes_.size(), last});
    last = static_cast<std::int64_t>(runs_.size() - 1);
}

// Records the runs of the nodes listed from `position` on, as the stretches
// of equal batches that the passes through the call's index left there.
void NodeBook::record_runs_since(std::size_t position) {
    position = std::max(position, static_cast<std::size_t>(seed_count_));
    while (position < nodes_.size()) {
        const std::int64_t batch = nodes_[position].batch;
        const auto slot = static_cast<std::size_t>(batch);
        if (slot >= last_run_.size()) {
            last_run_.resize(std::max(slot + 1, 2 * last_run_.size()), kNoRun);
        }
        std::size_t end = position + 1;
        while (end < nodes_.size() && nodes_[end].batch == batch) {
            ++end;
        }
        runs_.push_back(Run{position, end, last_run_[slot]});
        last_run_[slot] = static_cast<std::int64_t>(runs_.size() - 1);
        position = end;
    }
}

std::size_t NodeBook::tree_size(std::int64_t batch) const {
    std::size_t size = 0;
    for (std::int64_t run = last_run_[static_cast<std::size_t>(batch)]; run != kNoRun;
         run = runs_[static_cast<std::size_t>(run)].previous) {
        size +=
            runs_[static_cast<std::size_t>(run)].end - runs_[static_cast<std::size_t>(run)].start;
    }
    return size;
}

void NodeBook::refill_tree(std::int64_t batch) {
    for (std::int64_t run = last_run_[static_cast<std::size_t>(batch)]; run != kNoRun;
         run = runs_[static_cast<std::size_t>(run)].previous) {
        const Run& stretch = runs_[static_cast<std::size_t>(run)];
        for (std::size_t position = stretch.start; position < stretch.end; ++position) {
            tree_.refill(nodes_[position].node, static_cast<std::int64_t>(position));
        }
    }
}

// A tree that may hold nodes already, or whose run head is not there yet,
// or any tree of a pass through the call's index (which records its runs).
bool NodeBook::reopen_tree(std::int64_t batch, std::size_t expected) {
    close_tree();
    const auto slot = static_cast<std::size_t>(batch);
    if (slot >= last_run_.size()) {
        if (slot >= kRunHeadsPerNode * nodes_.size() + kRunHeadAllowance) {
            index_whole_call();
            return false;
        }
        // Grown in doublings: trees open in ascending order, one at a time.
        last_run_.resize(std::max(slot + 1, 2 * last_run_.size()), kNoRun);
    }
    const std::size_t earlier = tree_size(batch);
    refilled_ += earlier;
    if (refilled_ > kRefillsPerNode * nodes_.size() + kRefillAllowance) {
        index_whole_call();
        return false;
    }
    tree_.open(batch, earlier + std::min(expected, kMostExpected), nodes_.size());
    refill_tree(batch);
    open_batch_ = batch;
    open_start_ = nodes_.size();
    return true;
}

std::int64_t NodeBook::admit_opening(SampledNode node) {
    return open_tree(node.batch, 0) ? admit_to_tree(node) : admit_to_call_index(node);
}

// The nodes after the seeds that the call's index lacks enter it.
void NodeBook::catch_up_call_index() {
    for (std::size_t position = std::max(indexed_, static_cast<std::size_t>(seed_count_));
         position < nodes_.size(); ++position) {
        const NodeIndex::Probe probe = local_index_.find(nodes_[position], nodes_);
        local_index_.insert(probe, nodes_[position], static_cast<std::int64_t>(position), nodes_);
    }
    indexed_ = nodes_.size();
}

// The call's index takes every admission from now on.
void NodeBook::index_whole_call() {
    open_batch_ = -1;
    catch_up_call_index();
    by_tree_ = false;
    records_runs_ = false;
}

void NodeBook::start_pass(std::size_t expected) {
    if (!records_runs_) {
        return;
    }
    // What the last pass admitted is recorded where it admitted it.
    if (by_tree_) {
        close_tree();
        recorded_ = nodes_.size();
    } else {
        indexed_ = nodes_.size();
    }
    by_tree_ = nodes_.size() + expected > kSmallBook;
    if (by_tree_) {
        record_runs_since(recorded_);
        recorded_ = nodes_.size();
    } else {
        catch_up_call_index();
    }
}

void NodeBook::clear() {
    tree_.clear(nodes_.size());
    local_index_.clear(nodes_.size());
    nodes_.clear();
    seed_count_ = 0;
    records_runs_ = true;
    by_tree_ = true;
    indexed_ = 0;
    recorded_ = 0;
    open_batch_ = -1;
    open_start_ = 0;
    runs_.clear();
    last_run_.clear();
    refilled_ = 0;
}

}  // namespace corvane
