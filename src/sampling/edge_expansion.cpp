#include "sampling/edge_expansion.h"

#include <algorithm>

#include "base/prefetch.h"

namespace corvane {

namespace {

// How many nodes ahead of the one read the sweep asks for colptr entries:
// enough misses in flight to cover a memory latency.
constexpr std::size_t kColumnsAhead = 24;

void prefetch_colptr(const EdgeExpansion& expansion, std::int64_t node) {
    if (has_column(expansion.colptr, node)) {
        prefetch_line(expansion.colptr.data + node);
    }
}

}  // namespace

void gather_columns(const EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                    FrontierRange frontier, std::vector<ColumnRange>& columns) {
    const std::size_t begin = frontier.begin;
    columns.resize(frontier.end - begin);
    const std::size_t first_ahead = std::min(frontier.end, begin + kColumnsAhead);
    for (std::size_t position = begin; position < first_ahead; ++position) {
        prefetch_colptr(expansion, nodes[position].node);
    }
    for (std::size_t position = begin; position < frontier.end; ++position) {
        if (position + kColumnsAhead < frontier.end) {
            prefetch_colptr(expansion, nodes[position + kColumnsAhead].node);
        }
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

}  // namespace corvane
