#include "sampling/signal_poll.h"

#include <pybind11/pybind11.h>

namespace corvane {

void throw_if_interrupted() {
    if (PyErr_CheckSignals() != 0) {
        throw pybind11::error_already_set();
    }
}

}  // namespace corvane
