#pragma once

#include <cstddef>
#include <cstdint>

#include "sampling/temporal_selection.h"

namespace corvane {

// What one edge type samples in one hop: k neighbours per frontier node, or
// the neighbours inside a time window.
struct HopParameter {
    bool by_time_window = false;
    std::int64_t k = 0;  // 0 for a time window
    TimeOffsets offsets;
};

// What a call asks of each edge type, hop by hop. A time window's row is
// read from the caller's object only when its hop reaches the edge type, so
// a bad row fails that hop, after the hops before it have run.
class HopParameters {
public:
    virtual ~HopParameters() = default;
    virtual std::uint64_t num_hops() const = 0;
    // The parameter of the edge type at `edge_type` (the graph's numbering).
    virtual HopParameter at(std::size_t edge_type, std::uint64_t hop) const = 0;
};

}  // namespace corvane
