#include "sampling/neighbor_selection.h"

#include <algorithm>

#include "sampling/prefetch.h"
#include "sampling/taken_set.h"

namespace corvane {

namespace {

// Floyd's sampling without replacement: the step for j draws one value below
// j + 1 and takes it, or j itself when the value was taken before. The draws
// do not depend on what is admitted, so all k offsets are chosen first and
// their neighbours fetched together before they are admitted in that order.
// A large k goes in pieces, with a look for signals before each.
void choose_offsets(EdgeExpansion& expansion, std::int64_t n, std::int64_t k,
                    std::vector<std::int64_t>& chosen) {
    TakenSet taken(n, k, expansion.selection);
    for (std::int64_t start = n - k; start < n;) {
        const std::int64_t end = start + std::min(n - start, SignalPoll::kInterval);
        expansion.signal_poll.after(end - start);
        for (std::int64_t j = start; j < end; ++j) {
            const auto drawn = static_cast<std::int64_t>(
                expansion.generator.draw_below(static_cast<std::uint64_t>(j) + 1));
            if (taken.take(drawn)) {
                chosen.push_back(drawn);
            } else {
                taken.take(j);  // never taken yet: earlier steps chose offsets below j
                chosen.push_back(j);
            }
        }
        start = end;
    }
}

void request_chosen_rows(const EdgeExpansion& expansion, ColumnRange column,
                         const std::int64_t* first, const std::int64_t* last) {
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        prefetch_line(expansion.row.data + column.start + *offset);
    }
}

}  // namespace

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
            choose_offsets(expansion, column.size(), k, plan.chosen);
            request_chosen_rows(expansion, column, plan.chosen.data() + first,
                                plan.chosen.data() + plan.chosen.size());
        }
    }
    return end - begin;
}

}  // namespace corvane
