#include "sampling/temporal_selection.h"

#include <algorithm>

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

}  // namespace

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
    ColumnRange past = column;
    if (past.empty()) {
        return;
    }
    past.end = first_later_than(expansion, past.start, past.end, WideTime{seed_time});
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

}  // namespace corvane
