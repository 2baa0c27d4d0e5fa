#include "sampling/neighbor_selection.h"

#include "base/prefetch.h"
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

void prefetch_chosen_rows(const EdgeExpansion& expansion, ColumnRange column,
                          const std::int64_t* first, const std::int64_t* last) {
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        prefetch_line(expansion.row.data + column.start + *offset);
    }
}

}  // namespace

void admit_long_column(EdgeExpansion& expansion, SampledNode frontier_entry,
                       std::int64_t destination_local, ColumnRange column) {
    admit_positions<true>(expansion, frontier_entry, destination_local, column.start, column.end);
}

std::size_t plan_selections(EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                            std::size_t frontier_begin, const std::vector<ColumnRange>& columns,
                            std::size_t begin, std::size_t end, std::int64_t k) {
    SelectionPlan& plan = expansion.selection.plan;
    plan.chosen.clear();
    plan.next = 0;
    for (std::size_t i = begin; i < end; ++i) {
        if (!column_is_valid(expansion, nodes[frontier_begin + i].node, columns[i])) {
            return i - begin;  // no draw for it or after it: it fails when its turn comes
        }
        const ColumnRange column = columns[i].normalised();
        if (!takes_all(column, k)) {
            const std::size_t first = plan.chosen.size();
            // Charged with the chunk, unless k is too large for that.
            if (k <= SignalPoll::kInterval) {
                choose_offsets<false>(expansion.generator, expansion.signal_poll, column.size(), k,
                                      expansion.selection, plan.chosen);
            } else {
                choose_offsets<true>(expansion.generator, expansion.signal_poll, column.size(), k,
                                     expansion.selection, plan.chosen);
            }
            prefetch_chosen_rows(expansion, column, plan.chosen.data() + first,
                                 plan.chosen.data() + plan.chosen.size());
        }
    }
    return end - begin;
}

}  // namespace corvane
