#include "sampling/hop_parameter.h"

#include <string>

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

}  // namespace

HopParameter read_hop_parameter(const EdgeTypeRequest& request, std::uint64_t hop) {
    return request.by_count ? count_at(request.counts.view, hop) : window_at(request.offsets, hop);
}

}  // namespace corvane
