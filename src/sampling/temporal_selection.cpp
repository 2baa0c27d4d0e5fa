#include "sampling/temporal_selection.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "base/always_inline.h"
#include "sampling/neighbor_selection.h"
#include "sampling/sampling_errors.h"

namespace corvane {

namespace {

// Seed time plus offset, formed without overflow so that offsets near the
// 64-bit limits still give the mathematically right window.
using WideTime = __int128;

// First position in [first, last) whose neighbour time is greater than
// `bound`, or `last`; the probing order decides which times are read.
std::int64_t first_later_than(const EdgeExpansion& expansion, std::int64_t first, std::int64_t last,
                              WideTime bound) {
    std::int64_t count = last - first;
    while (count > 0) {
        const std::int64_t half = count / 2;
        const std::int64_t middle = first + half;
        if (bound < neighbor_time(expansion, middle)) {
            count = half;
        } else {
            first = middle + 1;
            count -= half + 1;
        }
    }
    return first;
}

// Only the first and last neighbours of the window are compared: a cheap
// guard against columns that were not sorted by time at all.
void check_sorted(const EdgeExpansion& expansion, ColumnRange window) {
    if (window.size() >= 2 &&
        neighbor_time(expansion, window.start) > neighbor_time(expansion, window.end - 1)) {
        throw_unsorted_neighborhood();
    }
}

// One search of a chunk's: the part of its column still searched, its
// bound, and the chunk position it belongs to.
struct SteppedSearch {
    std::int64_t first;
    std::int64_t count;
    WideTime bound;
    std::size_t slot;
};

// One probe of `search`, as first_later_than makes it; false when the
// probed neighbour lies outside node_time (the search then stops here).
CORVANE_ALWAYS_INLINE bool probe(const EdgeExpansion& expansion, SteppedSearch& search) {
    const std::int64_t half = search.count / 2;
    const std::int64_t middle = search.first + half;
    const std::int64_t neighbor = expansion.row[middle];
    if (!expansion.source_time.contains_index(neighbor)) {
        return false;
    }
    if (search.bound < expansion.source_time[neighbor]) {
        search.count = half;
    } else {
        search.first = middle + 1;
        search.count -= half + 1;
    }
    return true;
}

}  // namespace

bool search_most_recent_ends(const EdgeExpansion& expansion, const Frontier& frontier,
                             ChunkRange chunk, const std::vector<std::int64_t>& seed_times,
                             ChunkSearchEnds& ends) {
    std::array<SteppedSearch, kChunkNodes> searches;
    std::size_t active = 0;
    for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
        const std::size_t slot = i - chunk.begin;
        ends.found[slot] = false;
        const ColumnRange column = frontier.columns[i];
        // Inside row first: only then is the gathered column's size sure to fit.
        if (!inside_row(expansion, column) || column.size() <= kShortColumn ||
            !has_column(expansion.colptr, frontier.id(i))) {
            continue;
        }
        const auto batch = static_cast<std::size_t>(frontier.nodes[frontier.range.begin + i].batch);
        searches[active++] =
            SteppedSearch{column.start, column.size(), WideTime{seed_times[batch]}, slot};
    }
    if (active == 0) {
        return false;
    }
    while (active > 0) {
        for (std::size_t j = 0; j < active;) {
            SteppedSearch& search = searches[j];
            const bool probed = probe(expansion, search);
            if (probed && search.count > 0) {
                ++j;
                continue;
            }
            if (probed) {
                ends.end[search.slot] = search.first;
                ends.found[search.slot] = true;
            }
            search = searches[--active];  // done: the last search takes its place
        }
    }
    return true;
}

template <BookMode kMode>
void select_time_window(EdgeExpansion& expansion, FrontierNode destination, ColumnRange column,
                        TimeOffsets offsets, std::int64_t seed_time) {
    ColumnRange window = column;
    if (window.empty()) {
        return;
    }
    if (offsets.has_lower) {
        window.start = first_later_than(expansion, window.start, window.end,
                                        WideTime{seed_time} + offsets.lower);
    }
    window.end =
        first_later_than(expansion, window.start, window.end, WideTime{seed_time} + offsets.upper);
    if (window.empty()) {
        return;
    }
    check_sorted(expansion, window);
    admit_all<kMode>(expansion, destination, window);
}

template <BookMode kMode>
void select_most_recent(EdgeExpansion& expansion, FrontierNode destination, ColumnRange column,
                        std::int64_t k, std::int64_t seed_time) {
    if (column.empty()) {
        return;
    }
    select_most_recent_ending<kMode>(
        expansion, destination, column, k,
        first_later_than(expansion, column.start, column.end, WideTime{seed_time}));
}

template <BookMode kMode>
void select_most_recent_ending(EdgeExpansion& expansion, FrontierNode destination,
                               ColumnRange column, std::int64_t k, std::int64_t end) {
    ColumnRange past = column;
    if (past.empty()) {
        return;
    }
    past.end = end;
    check_sorted(expansion, past);
    if (k > 0) {
        past.start = std::max(past.start, past.end - k);
    }
    if (past.empty()) {
        return;
    }
    admit_all<kMode>(expansion, destination, past);  // at most k when k > 0
}

template void select_time_window<BookMode::kCallIndex>(EdgeExpansion&, FrontierNode, ColumnRange,
                                                       TimeOffsets, std::int64_t);
template void select_time_window<BookMode::kTrees>(EdgeExpansion&, FrontierNode, ColumnRange,
                                                   TimeOffsets, std::int64_t);
template void select_most_recent<BookMode::kCallIndex>(EdgeExpansion&, FrontierNode, ColumnRange,
                                                       std::int64_t, std::int64_t);
template void select_most_recent<BookMode::kTrees>(EdgeExpansion&, FrontierNode, ColumnRange,
                                                   std::int64_t, std::int64_t);
template void select_most_recent_ending<BookMode::kCallIndex>(EdgeExpansion&, FrontierNode,
                                                              ColumnRange, std::int64_t,
                                                              std::int64_t);
template void select_most_recent_ending<BookMode::kTrees>(EdgeExpansion&, FrontierNode, ColumnRange,
                                                          std::int64_t, std::int64_t);

}  // namespace corvane
