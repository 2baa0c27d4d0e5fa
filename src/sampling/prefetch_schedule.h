#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/prefetch.h"
#include "sampling/column_range.h"
#include "sampling/edge_expansion.h"

namespace corvane {

// Every cache-line prefetch of a hop, and when it is made.
//
// The frontier is expanded in chunks of kChunkNodes nodes; its colptr entries
// were read in one sweep before (gather_columns). Each path then keeps many
// independent misses in flight, as a plain walk over the columns would,
// without the expansion work between them. For chunk c:
//
//   count:    rows of c + 1 | plan c: draws, chosen rows | admit c: index slots, admissions
//   temporal: rows of c + 2, times of c + 1 | admit c: binary searches, admissions
//
// A temporal chunk prefetches rows two chunks ahead so that, one chunk
// ahead, those rows have landed and the neighbours' times can be prefetched
// from them: all of a short column's, and on a longer one those that the
// first two steps of its binary search probe. Whole columns do not prefetch
// their index slots (measured no help); chosen neighbours do, just before
// they are admitted.

// Frontier nodes whose cache lines are prefetched together.
constexpr std::size_t kChunkNodes = 16;

// The positions that the first two steps of a binary search over a column
// of more than two entries probe, as first_later_than halves the range: the
// middle, then the middle of the lower or of the upper part.
struct SearchSteps {
    explicit SearchSteps(ColumnRange column)
        : middle(column.start + column.size() / 2), lower(column.start + column.size() / 2 / 2),
          upper(middle + 1 + (column.size() - column.size() / 2 - 1) / 2) {}
    std::int64_t middle;
    std::int64_t lower;
    std::int64_t upper;
};

// The start and middle of a column's rows. Columns outside row are left alone.
inline void prefetch_column(const EdgeExpansion& expansion, ColumnRange gathered) {
    if (inside_row(expansion, gathered)) {
        const std::int64_t* start = expansion.row.data + gathered.start;
        const std::int64_t* middle = start + gathered.size() / 2;
        prefetch_line(start);
        if (!same_line(start, middle)) {
            prefetch_line(middle);
        }
    }
}

// A column whose rows fill one cache line or less: its searches read the
// times of its neighbours, all of which are prefetched. A longer one is
// searched through a chain of dependent misses, of which the first steps
// are prefetched.
constexpr std::int64_t kShortColumn = 8;

// The rows that the second step of a binary search over a long column
// probes, whichever way the first goes (the first probe, the middle, is
// prefetched with the start). A search over such a column is a chain of
// dependent misses, row then time, step after step: prefetching its first
// steps a chunk or two ahead shortens the chain.
inline void prefetch_search_rows(const EdgeExpansion& expansion, ColumnRange gathered) {
    if (!inside_row(expansion, gathered) || gathered.size() <= kShortColumn) {
        return;
    }
    const SearchSteps steps(gathered);
    const std::int64_t* middle = expansion.row.data + steps.middle;
    for (const std::int64_t position : {steps.lower, steps.upper}) {
        if (!same_line(expansion.row.data + position, middle)) {
            prefetch_line(expansion.row.data + position);
        }
    }
}

// The time of the neighbour at `position` (its row must have landed), when
// it lies inside node_time.
inline void prefetch_time_at(const EdgeExpansion& expansion, std::int64_t position) {
    const std::int64_t neighbor = expansion.row[position];
    if (expansion.source_time.contains_index(neighbor)) {
        prefetch_line(expansion.source_time.data + neighbor);
    }
}

// The times that a temporal selection's binary searches read first (the
// rows prefetched a chunk before, which must have landed): those of a short
// column's neighbours, or of the neighbours that the first two steps of a
// search over a longer column probe.
inline void prefetch_neighbor_times(const EdgeExpansion& expansion, ColumnRange gathered) {
    if (!inside_row(expansion, gathered)) {
        return;
    }
    if (gathered.size() > kShortColumn) {
        const SearchSteps steps(gathered);
        prefetch_time_at(expansion, steps.middle);
        prefetch_time_at(expansion, steps.lower);
        prefetch_time_at(expansion, steps.upper);
        return;
    }
    for (std::int64_t position = gathered.start; position < gathered.end; ++position) {
        prefetch_time_at(expansion, position);
    }
}

// The rows at the drawn offsets [first, last) of a (checked) column.
inline void prefetch_chosen_rows(const EdgeExpansion& expansion, ColumnRange column,
                                 const std::int64_t* first, const std::int64_t* last) {
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        prefetch_line(expansion.row.data + column.start + *offset);
    }
}

// The index slots where the neighbours at the drawn offsets [first, last) of
// a column would be found in the tree of `batch` (their rows prefetched
// while the chunk was planned).
inline void prefetch_index_slots(const EdgeExpansion& expansion, std::int64_t batch,
                                 ColumnRange column, const std::int64_t* first,
                                 const std::int64_t* last) {
    if (expansion.source.indexes_by_tree()) {
        return;  // the tree's table is in the caches
    }
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        expansion.source.prefetch(SampledNode{batch, expansion.row[column.start + *offset]});
    }
}

// The prefetches of the chunks ahead of the one expanded next: its
// constructor fills the pipeline, before() keeps it full.
template <bool kWithTime>
class PrefetchesAhead {
public:
    static constexpr std::size_t kRowsAhead = kWithTime ? 2 * kChunkNodes : kChunkNodes;

    PrefetchesAhead(const EdgeExpansion& expansion, const std::vector<ColumnRange>& columns)
        : expansion_(expansion), columns_(columns) {
        prefetch_rows(0, kRowsAhead);
        if (kWithTime) {
            prefetch_times(0, kChunkNodes);
        }
    }

    // The prefetches made when the chunk starting at `chunk` is expanded next.
    void before(std::size_t chunk) const {
        prefetch_rows(chunk + kRowsAhead, chunk + kRowsAhead + kChunkNodes);
        if (kWithTime) {
            prefetch_times(chunk + kChunkNodes, chunk + 2 * kChunkNodes);
        }
    }

private:
    void prefetch_rows(std::size_t first, std::size_t last) const {
        for (std::size_t i = first; i < std::min(last, columns_.size()); ++i) {
            prefetch_column(expansion_, columns_[i]);
            if (kWithTime) {
                prefetch_search_rows(expansion_, columns_[i]);
            }
        }
    }

    void prefetch_times(std::size_t first, std::size_t last) const {
        for (std::size_t i = first; i < std::min(last, columns_.size()); ++i) {
            prefetch_neighbor_times(expansion_, columns_[i]);
        }
    }

    const EdgeExpansion& expansion_;
    const std::vector<ColumnRange>& columns_;
};

}  // namespace corvane
