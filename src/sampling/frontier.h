#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/column_range.h"
#include "sampling/sampled_node.h"

namespace corvane {

// Positions [begin, end) of a node type's list: the nodes a hop expands.
struct FrontierRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// Frontier nodes [begin, end), counted from the frontier's first node: the
// nodes whose cache lines are prefetched together and that are expanded
// together.
struct ChunkRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// One frontier node being expanded: a copy of its entry (admissions of its
// own type may grow the list it came from) and its local index, the
// destination of every edge it gets.
struct FrontierNode {
    SampledNode entry;
    std::int64_t local;
};

// The frontier that one edge type expands in one hop: the destination's
// nodes in `range`, and their columns as gathered, columns[i] for the
// frontier's node i.
struct Frontier {
    const std::vector<SampledNode>& nodes;  // the destination type's list
    FrontierRange range;
    const std::vector<ColumnRange>& columns;

    std::size_t size() const { return columns.size(); }
    std::int64_t id(std::size_t i) const { return nodes[range.begin + i].node; }
    FrontierNode node(std::size_t i) const {
        const std::size_t position = range.begin + i;
        return FrontierNode{nodes[position], static_cast<std::int64_t>(position)};
    }
};

}  // namespace corvane
