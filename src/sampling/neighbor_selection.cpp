#include "sampling/neighbor_selection.h"

#include <algorithm>

#include "sampling/taken_set.h"

namespace corvane {

namespace {

// Floyd's sampling without replacement: the step for j draws one value below
// j + 1 and takes it, or j itself when the value was taken before. The draws
// do not depend on what is admitted, so all k offsets are chosen first and
// their neighbours fetched together before they are admitted in that order.
// Polled: a look for signals at every poll interval of steps, for the rare
// selection of more offsets than that; unpolled, the plain loop (its draws
// are charged with its chunk's).
template <bool kPolled>
void choose_offsets(RandomEngine& generator, SignalPoll& signal_poll, std::int64_t n,
                    std::int64_t k, SelectionScratch& scratch, std::vector<std::int64_t>& chosen) {
    TakenSet taken(n, k, scratch);
    for (std::int64_t j = n - k; j < n; ++j) {
        if (kPolled && ((j - (n - k)) & (SignalPoll::kInterval - 1)) == 0) {
            signal_poll.after(SignalPoll::kInterval);
        }
        const auto drawn =
            static_cast<std::int64_t>(generator.draw_below(static_cast<std::uint64_t>(j) + 1));
        if (taken.take(drawn)) {
            chosen.push_back(drawn);
        } else {
            taken.take(j);  // never taken yet: earlier steps chose offsets below j
            chosen.push_back(j);
        }
    }
}

// Floyd's method for a few offsets (k <= TakenSet::kScanLimit): the offsets
// chosen so far by this selection, the last ones of `chosen`, are scanned in
// place. Its draws are charged with its chunk's.
void choose_few_offsets(RandomEngine& generator, std::int64_t n, std::int64_t k,
                        std::vector<std::int64_t>& chosen) {
    const std::size_t first = chosen.size();
    chosen.resize(first + static_cast<std::size_t>(k));
    std::int64_t* const begin = chosen.data() + first;
    std::int64_t* end = begin;
    for (std::int64_t j = n - k; j < n; ++j) {
        const auto drawn =
            static_cast<std::int64_t>(generator.draw_below(static_cast<std::uint64_t>(j) + 1));
        // j itself is never taken yet: earlier steps chose offsets below j.
        // Every chosen offset is compared, without an early exit: the loop
        // has no branch to mispredict and the compiler vectorises it.
        bool taken = false;
        for (const std::int64_t* offset = begin; offset != end; ++offset) {
            taken |= *offset == drawn;
        }
        *end = taken ? j : drawn;
        ++end;
    }
}

}  // namespace

template <BookMode kMode>
void admit_long_column(EdgeExpansion& expansion, FrontierNode destination, ColumnRange column) {
    admit_positions<true, kMode>(expansion, destination, column.start, column.end);
}

template void admit_long_column<BookMode::kCallIndex>(EdgeExpansion&, FrontierNode, ColumnRange);
template void admit_long_column<BookMode::kTrees>(EdgeExpansion&, FrontierNode, ColumnRange);

ChunkPlan plan_selections(EdgeExpansion& expansion, const Frontier& frontier, ChunkRange chunk,
                          std::int64_t k, std::vector<std::int64_t>& chosen) {
    chosen.clear();
    for (std::size_t i = chunk.begin; i < chunk.end; ++i) {
        if (!column_is_valid(expansion, frontier.id(i), frontier.columns[i])) {
            // No draw for it or after it: it fails when its turn comes.
            return ChunkPlan(i - chunk.begin, chosen.data());
        }
        const ColumnRange column = frontier.columns[i].normalised();
        if (!takes_all(column, k)) {
            const std::size_t first = chosen.size();
            // Charged with the chunk, unless k is too large for that.
            if (k <= TakenSet::kScanLimit) {
                choose_few_offsets(expansion.generator, column.size(), k, chosen);
            } else if (k <= SignalPoll::kInterval) {
                choose_offsets<false>(expansion.generator, expansion.signal_poll, column.size(), k,
                                      expansion.selection, chosen);
            } else {
                choose_offsets<true>(expansion.generator, expansion.signal_poll, column.size(), k,
                                     expansion.selection, chosen);
            }
            prefetch_chosen_rows(expansion, column, chosen.data() + first,
                                 chosen.data() + chosen.size());
        }
    }
    return ChunkPlan(chunk.end - chunk.begin, chosen.data());
}

}  // namespace corvane
