#include "sampling/edge_expansion.h"

#include <algorithm>

#include "sampling/sampling_errors.h"

namespace corvane {

namespace {

// Node v's column is colptr[v] .. colptr[v + 1], so v + 1 must be in range.
bool has_column(const Int64View& colptr, std::int64_t node) {
    return node >= 0 && node < colptr.length() - 1;
}

}  // namespace

ColumnRange read_column(const EdgeExpansion& expansion, std::int64_t node) {
    const Int64View& colptr = expansion.colptr;
    if (!has_column(colptr, node)) {
        throw_node_outside_colptr(expansion.key, node, colptr.length());
    }
    const std::int64_t start = colptr[node];
    const std::int64_t end = colptr[node + 1];
    if (end <= start) {
        return ColumnRange{start, start};
    }
    if (start < 0 || end > expansion.row.length()) {
        throw_column_outside_row(expansion.key, node, start, end, expansion.row.length());
    }
    return ColumnRange{start, end};
}

void prefetch_colptr(const EdgeExpansion& expansion, std::int64_t node) {
    if (expansion.colptr.contains_index(node)) {
        __builtin_prefetch(expansion.colptr.data + node);
    }
}

void prefetch_column(const EdgeExpansion& expansion, std::int64_t node) {
    if (!has_column(expansion.colptr, node)) {
        return;
    }
    const std::int64_t start = expansion.colptr[node];
    const std::int64_t end = expansion.colptr[node + 1];
    if (start < end && start >= 0 && end <= expansion.row.length()) {
        __builtin_prefetch(expansion.row.data + start);
        __builtin_prefetch(expansion.row.data + start + (end - start) / 2);
    }
}

void prefetch_neighbors(const EdgeExpansion& expansion, SampledNode entry, bool with_time) {
    constexpr std::int64_t kShortColumn = 8;  // one cache line of row
    if (!has_column(expansion.colptr, entry.node)) {
        return;
    }
    const std::int64_t start = expansion.colptr[entry.node];
    const std::int64_t end = std::min(expansion.colptr[entry.node + 1], start + kShortColumn);
    if (start < 0 || end > expansion.row.length()) {
        return;
    }
    for (std::int64_t position = start; position < end; ++position) {
        const std::int64_t neighbor = expansion.row[position];
        expansion.source.prefetch(SampledNode{entry.batch, neighbor});
        if (with_time && expansion.source_time.contains_index(neighbor)) {
            __builtin_prefetch(expansion.source_time.data + neighbor);
        }
    }
}

std::int64_t neighbor_time(const EdgeExpansion& expansion, std::int64_t position) {
    const std::int64_t neighbor = expansion.row[position];
    if (!expansion.source_time.contains_index(neighbor)) {
        throw_node_outside_node_time(expansion.source_type, neighbor,
                                     expansion.source_time.length());
    }
    return expansion.source_time[neighbor];
}

}  // namespace corvane
