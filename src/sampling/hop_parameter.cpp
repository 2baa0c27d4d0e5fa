#include "sampling/hop_parameter.h"

namespace py = pybind11;

namespace corvane {

namespace {

HopParameter count_at(const Int64View& counts, std::uint64_t hop) {
    HopParameter parameter;
    if (hop < counts.size) {
        parameter.k = counts[static_cast<std::int64_t>(hop)];
    }
    return parameter;
}

HopParameter window_at(const py::object& offsets, std::uint64_t hop) {
    const py::object row = offsets[py::int_(hop)];
    const py::object lower = row[py::int_(0)];
    HopParameter parameter;
    parameter.by_time_window = true;
    if (!lower.is_none()) {
        parameter.offsets.has_lower = true;
        parameter.offsets.lower = lower.cast<std::int64_t>();
    }
    const py::object upper = row[py::int_(1)];
    parameter.offsets.upper = upper.cast<std::int64_t>();
    return parameter;
}

}  // namespace

HopParameter read_hop_parameter(const EdgeTypeRequest& request, std::uint64_t hop) {
    return request.by_count ? count_at(request.counts.view, hop) : window_at(request.offsets, hop);
}

}  // namespace corvane
