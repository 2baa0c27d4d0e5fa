#include "sampling/edge_type_requests.h"

#include <algorithm>
#include <string>
#include <utility>

#include "graph/validation.h"
#include "graph/whole_message_error.h"

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

[[noreturn]] void throw_cast_error(const py::handle& value) {
    throw py::cast_error("Unable to cast Python instance of type " +
                         std::string(py::str(py::type::handle_of(value))) +
                         " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile "
                         "in debug mode for details)");
}

// An offset as a 64-bit integer, converted as pybind11 converts one, except
// that an error raised by the value's own conversion passes through instead of
// being replaced by the cast error (and a conversion is never retried). A
// float is refused; a value with __index__ is read through it, else one with
// __int__ through int(), which truncates numpy float32/float16, Decimal and
// Fraction; anything else, and any integer outside 64 bits, gets the cast
// error.
std::int64_t offset_value(const py::handle& value) {
    PyObject* object = value.ptr();
    if (PyFloat_Check(object)) {
        throw_cast_error(value);
    }
    PyObject* integer = nullptr;
    if (PyIndex_Check(object)) {
        integer = PyNumber_Index(object);
    } else if (PyType_GetSlot(Py_TYPE(object), Py_nb_int) != nullptr) {
        integer = PyNumber_Long(object);
    } else {
        throw_cast_error(value);
    }
    if (integer == nullptr) {
        throw py::error_already_set();
    }
    const auto held = py::reinterpret_steal<py::object>(integer);
    const long long result = PyLong_AsLongLong(held.ptr());
    if (result == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // OverflowError, the only error an int raises here
        throw_cast_error(value);
    }
    return result;
}

HopParameter window_at(const py::object& offsets, std::uint64_t hop) {
    const py::object row = offsets[py::int_(hop)];
    const py::object lower = row[py::int_(0)];
    HopParameter parameter;
    parameter.by_time_window = true;
    if (!lower.is_none()) {
        parameter.offsets.has_lower = true;
        parameter.offsets.lower = offset_value(lower);
    }
    const py::object upper = row[py::int_(1)];
    parameter.offsets.upper = offset_value(upper);
    return parameter;
}

EdgeTypeRequest request_by_count(const py::object& counts, std::uint64_t& num_hops) {
    EdgeTypeRequest request;
    request.by_count = true;
    request.counts = hold_as_int64(to_array(counts));
    num_hops = std::max<std::uint64_t>(num_hops, request.counts.view.size);
    return request;
}

EdgeTypeRequest request_by_time_window(const GraphStore& graph, const EdgeTypeRecord& edge_type,
                                       py::object offsets, std::uint64_t& num_hops) {
    const py::array rows = to_array(offsets);
    num_hops = std::max<std::uint64_t>(num_hops, static_cast<std::uint64_t>(rows.shape(0)));
    const NodeTypeRecord& source = graph.node_types[edge_type.source];
    if (!source.has_time) {
        throw RuntimeFailure("'sampling_time_offsets' contains '" + edge_type.key + "' but " +
                             source.name + " is not included in 'node_time'.");
    }
    if (rows.shape(1) != 2) {
        throw RuntimeFailure("'sampling_time_offsets' at '" + edge_type.key +
                             "' does not have shape (N, 2).");
    }
    EdgeTypeRequest request;
    request.offsets = std::move(offsets);
    return request;
}

}  // namespace

HopParameter SampleRequest::at(std::size_t edge_type, std::uint64_t hop) const {
    const EdgeTypeRequest& request = edge_types_[edge_type];
    return request.by_count ? count_at(request.counts.view, hop) : window_at(request.offsets, hop);
}

SampleRequest read_edge_type_requests(const GraphStore& graph, const py::dict& num_neighbors,
                                      const py::dict& sampling_time_offsets) {
    SampleRequest request;
    for (const EdgeTypeRecord& edge_type : graph.edge_types) {
        const py::str key(edge_type.key);
        const bool in_counts = num_neighbors.contains(key);
        if (in_counts && sampling_time_offsets.contains(key)) {
            const std::string rule =
                "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type.";
            throw RuntimeFailure(rule + " '" + edge_type.key + "' appears in both.");
        }
        if (in_counts) {
            const py::object counts = num_neighbors[key];
            request.edge_types_.push_back(request_by_count(counts, request.num_hops_));
        } else {
            // KeyError here when the edge type is in neither dictionary.
            py::object offsets = sampling_time_offsets[key];
            request.edge_types_.push_back(
                request_by_time_window(graph, edge_type, std::move(offsets), request.num_hops_));
        }
    }
    return request;
}

}  // namespace corvane
