#pragma once

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

}  // namespace corvane
