#include "sampling/edge_expansion.h"

#include "sampling/prefetch.h"

#include <algorithm>

#include "sampling/sampling_errors.h"

namespace corvane {

namespace {

// Node v's column is colptr[v] .. colptr[v + 1], so v + 1 must be in range.
bool has_column(const Int64View& colptr, std::int64_t node) {
    return node >= 0 && node < colptr.length() - 1;
}

// A non-empty column that lies inside row.
bool inside_row(const EdgeExpansion& expansion, ColumnRange column) {
    return column.start < column.end && column.start >= 0 && column.end <= expansion.row.length();
}

}  // namespace

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

bool column_is_valid(const EdgeExpansion& expansion, std::int64_t node, ColumnRange gathered) {
    return has_column(expansion.colptr, node) &&
           (gathered.end <= gathered.start || inside_row(expansion, gathered));
}

ColumnRange checked_column(const EdgeExpansion& expansion, std::int64_t node,
                           ColumnRange gathered) {
    if (!has_column(expansion.colptr, node)) {
        throw_node_outside_colptr(expansion.key, node, expansion.colptr.length());
    }
    if (gathered.end <= gathered.start) {
        return gathered.normalised();
    }
    if (!inside_row(expansion, gathered)) {
        throw_column_outside_row(expansion.key, node, gathered.start, gathered.end,
                                 expansion.row.length());
    }
    return gathered;
}

void prefetch_column(const EdgeExpansion& expansion, ColumnRange gathered) {
    if (inside_row(expansion, gathered)) {
        prefetch_line(expansion.row.data + gathered.start);
        prefetch_line(expansion.row.data + gathered.start + gathered.size() / 2);
    }
}

void prefetch_neighbors(const EdgeExpansion& expansion, SampledNode entry, ColumnRange gathered) {
    if (!inside_row(expansion, gathered)) {
        return;
    }
    request_column_slots(expansion, entry, gathered);
    const std::int64_t end = std::min(gathered.end, gathered.start + kRequestedNeighbors);
    for (std::int64_t position = gathered.start; position < end; ++position) {
        const std::int64_t neighbor = expansion.row[position];
        if (expansion.source_time.contains_index(neighbor)) {
            prefetch_line(expansion.source_time.data + neighbor);
        }
    }
}

}  // namespace corvane
