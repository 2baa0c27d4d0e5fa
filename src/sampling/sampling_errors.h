#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// The failures that can still occur once a sample call's arguments have passed
// their checks. Each message is built here and nowhere else.

[[noreturn]] void throw_unsorted_neighborhood();

// A node id read as an index into an edge type's colptr, outside it.
[[noreturn]] void throw_node_outside_colptr(const std::string& edge_type_key, std::int64_t node,
                                            std::int64_t colptr_length);

// A non-empty column whose positions run outside the edge type's row array.
[[noreturn]] void throw_column_outside_row(const std::string& edge_type_key, std::int64_t node,
                                           std::int64_t start, std::int64_t end,
                                           std::int64_t row_length);

// A node id read as an index into its type's node_time, outside it.
[[noreturn]] void throw_node_outside_node_time(const std::string& node_type, std::int64_t node,
                                               std::int64_t node_time_length);

// An edge type reached by a hop whose destination has no frontier.
[[noreturn]] void throw_destination_not_node_type(const std::string& edge_type_key,
                                                  const std::string& destination_type);

}  // namespace corvane
