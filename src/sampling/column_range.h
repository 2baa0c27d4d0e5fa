#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

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

}  // namespace corvane
