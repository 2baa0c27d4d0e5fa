#include "sampling/neighbor_selection.h"

#include "sampling/prefetch.h"

#include "sampling/taken_set.h"

namespace corvane {

namespace {

// Floyd's sampling without replacement: the step for j draws one value below
// j + 1 and takes it, or j itself when the value was taken before. The draws
// do not depend on what is admitted, so all k offsets are chosen first and
// their neighbours fetched together before they are admitted in that order.
void choose_offsets(RandomEngine& generator, std::int64_t n, std::int64_t k,
                    SelectionScratch& scratch) {
    scratch.chosen.clear();
    TakenSet taken(n, k, scratch);
    for (std::int64_t j = n - k; j < n; ++j) {
        const auto drawn = static_cast<std::int64_t>(generator.draw_below(static_cast<std::uint64_t>(j) + 1));
        std::int64_t chosen = drawn;
        if (!taken.take(drawn)) {
            chosen = j;  // never taken yet: earlier steps chose offsets below j
            taken.take(j);
        }
        scratch.chosen.push_back(chosen);
    }
}

}  // namespace

void admit_random_subset(EdgeExpansion& expansion, SampledNode frontier_entry,
                         std::int64_t destination_local, ColumnRange column, std::int64_t k) {
    SelectionScratch& scratch = expansion.selection;
    choose_offsets(expansion.generator, column.size(), k, scratch);
    // The chosen positions are scattered over the column: request them all,
    // then the de-duplication slots of the neighbours they hold, then admit.
    for (const std::int64_t offset : scratch.chosen) {
        prefetch_line(expansion.row.data + column.start + offset);
    }
    for (const std::int64_t offset : scratch.chosen) {
        const std::int64_t neighbor = expansion.row[column.start + offset];
        expansion.source.prefetch(SampledNode{frontier_entry.batch, neighbor});
    }
    for (const std::int64_t offset : scratch.chosen) {
        admit_neighbor(expansion, column.start + offset, frontier_entry, destination_local);
    }
}

}  // namespace corvane
