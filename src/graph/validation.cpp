#include "graph/validation.h"

#include <algorithm>
#include <stdexcept>

namespace py = pybind11;

namespace corvane {

namespace {

// Signed integer with an item size of 8 bytes, in either byte order.
bool has_int64_dtype(const py::array& array) {
    const py::dtype dtype = array.dtype();
    return dtype.kind() == 'i' && dtype.itemsize() == 8;
}

// Shape and dtype checks shared by dictionary entries and single arrays; the
// messages differ only in how the array is named.
void check_shape_and_dtype(const py::array& array, const std::string& subject, int expected_ndim,
                           bool require_int64) {
    if (array.ndim() != expected_ndim) {
        throw std::runtime_error(subject + " is not " + std::to_string(expected_ndim) + "D.");
    }
    if (array.size() == 0) {
        return;
    }
    if (require_int64 && !has_int64_dtype(array)) {
        throw std::runtime_error(subject + " must have dtype int64.");
    }
}

}  // namespace

py::array to_array(const py::handle& value) {
    return py::array(py::reinterpret_borrow<py::object>(value));
}

void validate_array_dict(const py::dict& dict, const std::string& name,
                         const std::vector<std::string>& allowed_keys, int expected_ndim,
                         bool require_int64) {
    for (const auto& item : dict) {
        // Own the entry: str() of a key may run Python code that changes the dict.
        const auto key = py::reinterpret_borrow<py::object>(item.first);
        const auto value = py::reinterpret_borrow<py::object>(item.second);

        const std::string key_text = py::str(key);
        if (std::find(allowed_keys.begin(), allowed_keys.end(), key_text) == allowed_keys.end()) {
            throw std::runtime_error("Invalid type '" + key_text + "' found in " + name + ".");
        }
        check_shape_and_dtype(to_array(value), "Type '" + key_text + "' in " + name,
                              expected_ndim, require_int64);
    }
}

void validate_array(const py::array& array, const std::string& name, int expected_ndim,
                    bool require_int64) {
    check_shape_and_dtype(array, name, expected_ndim, require_int64);
}

}  // namespace corvane
