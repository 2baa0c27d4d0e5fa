#pragma once

#include <cstdint>

namespace corvane {

// How many positions of [position, last) lie at or after `position`, 0 when
// none. Formed in unsigned arithmetic, exact for any two int64 values: a
// look-ahead bound compares this with its distance instead of adding the
// distance to a position, which would overflow for the positions near
// INT64_MAX that an empty column may hold.
inline std::uint64_t positions_left(std::int64_t position, std::int64_t last) {
    return position < last ? static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(position)
                           : 0;
}

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
