#include "sampling/edge_expansion.h"

#include <algorithm>

namespace corvane {

void gather_columns(const EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                    std::size_t begin, std::size_t end, std::vector<ColumnRange>& columns) {
    columns.resize(end - begin);
    for (std::size_t position = begin; position < end; ++position) {
        const std::int64_t node = nodes[position].node;
        columns[position - begin] =
            has_column(expansion.colptr, node)
                ? ColumnRange{expansion.colptr[node], expansion.colptr[node + 1]}
                : ColumnRange{};
    }
}

ColumnRange checked_column(const EdgeExpansion& expansion, std::int64_t node,
                           ColumnRange gathered) {
    if (column_is_valid(expansion, node, gathered)) {
        return gathered.normalised();
    }
    if (!has_column(expansion.colptr, node)) {
        throw_node_outside_colptr(expansion.key, node, expansion.colptr.length());
    }
    throw_column_outside_row(expansion.key, node, gathered.start, gathered.end,
                             expansion.row.length());
}

void prefetch_neighbor_times(const EdgeExpansion& expansion, ColumnRange gathered) {
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

}  // namespace corvane
