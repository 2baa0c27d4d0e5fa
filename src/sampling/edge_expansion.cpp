#include "sampling/edge_expansion.h"

namespace corvane {

void gather_columns(const EdgeExpansion& expansion, const std::vector<SampledNode>& nodes,
                    FrontierRange frontier, std::vector<ColumnRange>& columns) {
    const std::size_t begin = frontier.begin;
    columns.resize(frontier.end - begin);
    for (std::size_t position = begin; position < frontier.end; ++position) {
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
