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
                    SelectionScratch& scratch, std::vector<std::int64_t>& chosen) {
    TakenSet taken(n, k, scratch);
    for (std::int64_t j = n - k; j < n; ++j) {
        const auto drawn = static_cast<std::int64_t>(generator.draw_below(static_cast<std::uint64_t>(j) + 1));
        if (taken.take(drawn)) {
            chosen.push_back(drawn);
        } else {
            taken.take(j);  // never taken yet: earlier steps chose offsets below j
            chosen.push_back(j);
        }
    }
}

// The chosen rows were requested when they were drawn; now request the
// de-duplication slots of the neighbours they hold, then admit them in the
// order drawn.
void admit_chosen(EdgeExpansion& expansion, SampledNode frontier_entry,
                  std::int64_t destination_local, ColumnRange column, const std::int64_t* first,
                  const std::int64_t* last) {
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        expansion.source.prefetch(SampledNode{frontier_entry.batch, expansion.row[column.start + *offset]});
    }
    for (const std::int64_t* offset = first; offset != last; ++offset) {
        admit_neighbor(expansion, column.start + *offset, frontier_entry, destination_local);
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
    plan.nodes.clear();
    plan.chosen.clear();
    for (std::size_t i = begin; i < end; ++i) {
        const std::int64_t node = nodes[frontier_begin + i].node;
        if (!column_is_valid(expansion, node, columns[i])) {
            return i - begin;  // no draw for it or after it: it fails when its turn comes
        }
        PlannedSelection planned;
        planned.column = columns[i].normalised();
        planned.first = plan.chosen.size();
        planned.random = k >= 0 && k < planned.column.size();
        if (planned.random) {
            choose_offsets(expansion.generator, planned.column.size(), k, expansion.selection,
                           plan.chosen);
            request_chosen_rows(expansion, planned.column, plan.chosen.data() + planned.first,
                                plan.chosen.data() + plan.chosen.size());
        }
        planned.last = plan.chosen.size();
        plan.nodes.push_back(planned);
    }
    return end - begin;
}

void admit_planned(EdgeExpansion& expansion, SampledNode frontier_entry,
                   std::int64_t destination_local, std::size_t index) {
    const SelectionPlan& plan = expansion.selection.plan;
    const PlannedSelection& planned = plan.nodes[index];
    if (planned.random) {
        admit_chosen(expansion, frontier_entry, destination_local, planned.column,
                     plan.chosen.data() + planned.first, plan.chosen.data() + planned.last);
    } else {
        admit_all(expansion, frontier_entry, destination_local, planned.column);
    }
}

}  // namespace corvane
