#include "sampling/edge_expansion.h"

#include "sampling/sampling_errors.h"

namespace corvane {

ColumnRange read_column(const EdgeExpansion& expansion, std::int64_t node) {
    const Int64View& colptr = expansion.colptr;
    if (node < 0 || node >= colptr.length() - 1) {
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

std::int64_t neighbor_time(const EdgeExpansion& expansion, std::int64_t position) {
    const std::int64_t neighbor = expansion.row[position];
    if (!expansion.source_time.contains_index(neighbor)) {
        throw_node_outside_node_time(expansion.source_type, neighbor,
                                     expansion.source_time.length());
    }
    return expansion.source_time[neighbor];
}

}  // namespace corvane
