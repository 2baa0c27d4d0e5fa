#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/always_inline.h"
#include "sampling/column_range.h"
#include "sampling/edge_expansion.h"
#include "sampling/frontier.h"
#include "sampling/prefetch_schedule.h"

namespace corvane {

// The edge from local index `source` to `destination`, built in one 16-byte
// register: built field by field, the compiler wrote the two fields to the
// stack and read them back as one 16-byte load, which no store can forward,
// so every admission waited for its stores to drain (half of a hub call).
CORVANE_ALWAYS_INLINE SampledEdge edge_between(std::int64_t source, std::int64_t destination) {
    using Pair = std::int64_t __attribute__((vector_size(16)));
    const Pair pair = {source, destination};
    SampledEdge edge;
    std::memcpy(&edge, &pair, sizeof edge);
    return edge;
}

// Enters the neighbour at row position `position` into the tree of
// `destination` (de-duplicated within that tree) and records the edge.
// Inline: it runs once per sampled edge.
template <BookMode kMode>
CORVANE_ALWAYS_INLINE void admit_neighbor(EdgeExpansion& expansion, std::int64_t position,
                                          FrontierNode destination) {
    const std::int64_t neighbor = expansion.row[position];
    const std::int64_t neighbor_local =
        expansion.source.template admit<kMode>(SampledNode{destination.entry.batch, neighbor});
    expansion.sampled_edges.push_back(edge_between(neighbor_local, destination.local));
}

// Whether a count selection of k from `column` takes every candidate (in
// order, without a draw) rather than a random subset.
inline bool takes_all(ColumnRange column, std::int64_t k) { return k < 0 || k >= column.size(); }

// The draws of one chunk's count selections, k offsets per random subset in
// node order, which admission takes in that order.
class ChunkPlan {
public:
    ChunkPlan(std::size_t planned_nodes, const std::int64_t* offsets)
        : planned_nodes_(planned_nodes), next_(offsets) {}

    // The chunk's first nodes that were planned; the node after them has an
    // invalid column, reported when its turn comes.
    std::size_t planned_nodes() const { return planned_nodes_; }

    // The next k offsets drawn, in the order drawn.
    const std::int64_t* take(std::int64_t k) {
        const std::int64_t* first = next_;
        next_ += k;
        return first;
    }

private:
    std::size_t planned_nodes_;
    const std::int64_t* next_;
};

// Count selections without time for the nodes of `chunk`, planned in node
// order before any of them is admitted: random subsets take their draws and
// prefetch the rows they chose. Draws never depend on admissions, so results
// are those of node-by-node selection. Planning stops at the first node whose
// column is invalid, before taking its draws. The offsets go to `chosen`,
// which the plan points into. k must not be 0.
ChunkPlan plan_selections(EdgeExpansion& expansion, const Frontier& frontier, ChunkRange chunk,
                          std::int64_t k, std::vector<std::int64_t>& chosen);

// Admits the positions [first, last) in ascending order. Polled: a look for
// signals at every poll interval of positions; unpolled, the plain loop.
//
// The index slots of the neighbours kSlotsAhead positions on are prefetched
// as it goes: on a large call the index outgrows the caches, and each
// admission would otherwise wait for its slot.
template <bool kPolled, BookMode kMode>
CORVANE_ALWAYS_INLINE void admit_positions(EdgeExpansion& expansion, FrontierNode destination,
                                           std::int64_t first, std::int64_t last) {
    constexpr std::int64_t kSlotsAhead = 8;
    if constexpr (kMode == BookMode::kTrees) {
        if (expansion.source.indexes_by_tree()) {  // the tree's table is in the caches
            for (std::int64_t position = first; position < last; ++position) {
                if (kPolled && ((position - first) & (SignalPoll::kInterval - 1)) == 0) {
                    expansion.signal_poll.after(SignalPoll::kInterval);
                }
                admit_neighbor<kMode>(expansion, position, destination);
            }
            return;
        }
    }
    const std::int64_t batch = destination.entry.batch;
    // Whether the positions reach past the look-ahead distance, judged by
    // the positions left, never by a position plus the distance: an empty
    // column may start at INT64_MAX. Only then do the first kSlotsAhead
    // positions end before `last`, and the positions before
    // `last - kSlotsAhead` have a neighbour kSlotsAhead on.
    const bool reaches_ahead = positions_left(first, last) > std::uint64_t{kSlotsAhead};
    const std::int64_t first_slots_end = reaches_ahead ? first + kSlotsAhead : last;
    const std::int64_t slot_ahead_end = reaches_ahead ? last - kSlotsAhead : first;
    for (std::int64_t position = first; position < first_slots_end; ++position) {
        expansion.source.prefetch(SampledNode{batch, expansion.row[position]});
    }
    for (std::int64_t position = first; position < last; ++position) {
        if (kPolled && ((position - first) & (SignalPoll::kInterval - 1)) == 0) {
            expansion.signal_poll.after(SignalPoll::kInterval);
        }
        if (position < slot_ahead_end) {
            expansion.source.prefetch(SampledNode{batch, expansion.row[position + kSlotsAhead]});
        }
        admit_neighbor<kMode>(expansion, position, destination);
    }
}

// A column longer than the poll's interval, polled; out of line, as it is rare.
template <BookMode kMode>
void admit_long_column(EdgeExpansion& expansion, FrontierNode destination, ColumnRange column);

// Admits every position of `column` in ascending order: the selection of all
// candidates, which takes no draw. Inline: it runs once per expanded node.
// Its work is charged to the signal poll with its chunk's; only a column too
// long for that is charged as it goes.
template <BookMode kMode>
CORVANE_ALWAYS_INLINE void admit_all(EdgeExpansion& expansion, FrontierNode destination,
                                     ColumnRange column) {
    if (column.size() > SignalPoll::kInterval) {
        admit_long_column<kMode>(expansion, destination, column);
        return;
    }
    admit_positions<false, kMode>(expansion, destination, column.start, column.end);
}

// Admits the neighbours at the drawn offsets [first, last) of `column`, in
// the order drawn (their index slots prefetched while the node before was
// admitted).
template <BookMode kMode>
CORVANE_ALWAYS_INLINE void admit_chosen(EdgeExpansion& expansion, FrontierNode destination,
                                        ColumnRange column, const std::int64_t* first,
                                        const std::int64_t* last) {
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        admit_neighbor<kMode>(expansion, column.start + *offset, destination);
    }
}

// Prefetches the index slots of the next planned node's neighbours, its
// drawn offsets (taken from `ahead`, a cursor one node ahead of admission) or
// the start of its whole column. Made one node before its admission, so that
// its chosen rows, prefetched when the chunk was planned, have landed and its
// slots land in turn while the node before is admitted.
template <BookMode kMode>
inline void prefetch_planned_slots(const EdgeExpansion& expansion, FrontierNode destination,
                                   ColumnRange column, std::int64_t k, ChunkPlan& ahead) {
    if (!takes_all(column, k)) {
        const std::int64_t* first = ahead.take(k);
        if (kMode == BookMode::kTrees && expansion.source.indexes_by_tree()) {
            prefetch_chosen_rows(expansion, column, first, first + k);
        } else {
            prefetch_index_slots(expansion, destination.entry.batch, column, first, first + k);
        }
    }
}

// Admits the next planned node of the chunk: its whole (normalised) column,
// or the next k offsets of the plan. Inline: it runs once per expanded node.
template <BookMode kMode>
CORVANE_ALWAYS_INLINE void admit_planned(EdgeExpansion& expansion, FrontierNode destination,
                                         ColumnRange column, std::int64_t k, ChunkPlan& plan) {
    if (takes_all(column, k)) {
        admit_all<kMode>(expansion, destination, column);
        return;
    }
    const std::int64_t* first = plan.take(k);
    admit_chosen<kMode>(expansion, destination, column, first, first + k);
}

}  // namespace corvane
