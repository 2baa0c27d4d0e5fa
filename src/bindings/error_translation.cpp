#include "bindings/error_translation.h"

#include <exception>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>

#include "graph/whole_message_error.h"

namespace py = pybind11;

namespace corvane {

namespace {

void set_python_error(PyObject* type, const std::string& message) {
    // backslashreplace cannot fail on any byte, so the error raised is always
    // `type` and never one about decoding the message.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "backslashreplace");
    if (text == nullptr) {
        return;  // out of memory: that error is already set
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void translate(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const RuntimeFailure& error) {
        set_python_error(PyExc_RuntimeError, error.message());
    } catch (const IndexFailure& error) {
        set_python_error(PyExc_IndexError, error.message());
    } catch (const std::length_error& error) {
        // A container asked for more than any size holds (a request claiming
        // more hops than memory counts): out of memory, as std::bad_alloc is
        // (pybind11 would make it ValueError).
        set_python_error(PyExc_MemoryError, error.what());
    }
}

}  // namespace

void register_error_translation() { py::register_local_exception_translator(&translate); }

}  // namespace corvane
