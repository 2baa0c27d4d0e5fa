#include "sampling/sampling_errors.h"

#include <algorithm>

#include "graph/whole_message_error.h"

namespace corvane {

namespace {

std::string valid_ids(std::int64_t count) {
    return "valid ids are in [0, " + std::to_string(std::max<std::int64_t>(count, 0)) + ")";
}

}  // namespace

void throw_unsorted_neighborhood() {
    throw RuntimeFailure("Found invalid non-sorted temporal neighborhood");
}

void throw_node_outside_colptr(const std::string& edge_type_key, std::int64_t node,
                               std::int64_t colptr_length) {
    throw RuntimeFailure("Node " + std::to_string(node) + " is out of range for edge type '" +
                         edge_type_key + "': its colptr has " + std::to_string(colptr_length) +
                         " entries, so " + valid_ids(colptr_length - 1) + ".");
}

void throw_column_outside_row(const std::string& edge_type_key, std::int64_t node,
                              std::int64_t start, std::int64_t end, std::int64_t row_length) {
    throw RuntimeFailure("Column of node " + std::to_string(node) + " in edge type '" +
                         edge_type_key + "' spans positions [" + std::to_string(start) + ", " +
                         std::to_string(end) + ") of row, outside its valid range [0, " +
                         std::to_string(row_length) + "].");
}

void throw_node_outside_node_time(const std::string& node_type, std::int64_t node,
                                  std::int64_t node_time_length) {
    throw RuntimeFailure("Node " + std::to_string(node) + " of type '" + node_type +
                         "' is out of range for its node_time: " + valid_ids(node_time_length) +
                         ".");
}

void throw_destination_not_node_type(const std::string& edge_type_key,
                                     const std::string& destination_type) {
    throw IndexFailure("Edge type '" + edge_type_key + "' leads to node type '" + destination_type +
                       "', which is not one of the node types.");
}

}  // namespace corvane
