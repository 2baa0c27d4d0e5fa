#pragma once

#include <cstdint>

#include "sampling/request_validation.h"
#include "sampling/temporal_selection.h"

namespace corvane {

// What one edge type samples in one hop: k neighbours per frontier node, or
// the neighbours inside a time window.
struct HopParameter {
    bool by_time_window = false;
    std::int64_t k = 0;  // 0 for a time window
    TimeOffsets offsets;
};

// Reads the hop's count (0 past the end of a shorter count list) or the hop's
// row of time offsets, converting the offsets to 64-bit integers.
HopParameter read_hop_parameter(const EdgeTypeRequest& request, std::uint64_t hop);

}  // namespace corvane
