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
// from them. Whole columns do not prefetch their index slots (measured no
// help); chosen neighbours do, just before they are admitted.

// Frontier nodes whose cache lines are prefetched together.
constexpr std::size_t kChunkNodes = 16;

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

// The times of a short column's neighbours (the first cache line of its rows,
// which must have landed), for the binary searches of a temporal selection.
inline void prefetch_neighbor_times(const EdgeExpansion& expansion, ColumnRange gathered) {
    constexpr std::int64_t kShortColumn = 8;  // one cache line of row
    if (!inside_row(expansion, gathered)) {
        return;
    }
    const std::int64_t end = std::min(gathered.end, gathered.start + kShortColumn);
    for (std::int64_t position = gathered.start; position < end; ++position) {
        const std::int64_t neighbor = expansion.row[position];
        if (expansion.source_time.contains_index(neighbor)) {
            prefetch_line(expansion.source_time.data + neighbor);
        }
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
