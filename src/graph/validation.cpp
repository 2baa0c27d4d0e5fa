#include "graph/validation.h"

#include "graph/whole_message_error.h"

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
void check_shape_and_dtype(const py::array& array, const std::string& subject, ArrayForm form) {
    if (array.ndim() != form.ndim) {
        throw RuntimeFailure(subject + " is not " + std::to_string(form.ndim) + "D.");
    }
    if (array.size() == 0) {
        return;
    }
    if (form.require_int64 && !has_int64_dtype(array)) {
        throw RuntimeFailure(subject + " must have dtype int64.");
    }
}

// The UTF-8 text of str(key); str() may run Python code, whose errors pass
// through. A str holding a lone surrogate has no UTF-8 form and so equals no
// key; its text then carries the surrogate as a backslash escape, for the
// message only.
std::string text_of_key(const py::handle& key) {
    const py::str text(key);
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    const auto escaped = py::reinterpret_steal<py::bytes>(
        PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace"));
    if (!escaped) {
        throw py::error_already_set();
    }
    return std::string(escaped);
}

}  // namespace

py::array to_array(const py::handle& value) {
    return py::array(py::reinterpret_borrow<py::object>(value));
}

void validate_array_dict(const py::dict& dict, const std::string& name,
                         const std::unordered_set<std::string>& allowed_keys, ArrayForm form) {
    for (const auto& item : dict) {
        // Own the entry: str() of a key may run Python code that changes the dict.
        const auto key = py::reinterpret_borrow<py::object>(item.first);
        const auto value = py::reinterpret_borrow<py::object>(item.second);

        const std::string key_text = text_of_key(key);
        if (allowed_keys.count(key_text) == 0) {
            throw RuntimeFailure("Invalid type '" + key_text + "' found in " + name + ".");
        }
        check_shape_and_dtype(to_array(value), "Type '" + key_text + "' in " + name, form);
    }
}

void validate_array(const py::array& array, const std::string& name, ArrayForm form) {
    check_shape_and_dtype(array, name, form);
}

}  // namespace corvane
