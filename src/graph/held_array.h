#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "base/int64_view.h"

namespace corvane {

// An int64 array whose data the sampler reads, together with the reference
// that keeps that data alive for as long as the view is used.
struct HeldArray {
    pybind11::object owner;
    Int64View view;
};

// Views `array` (already checked to be 1-D and int64, or empty) as contiguous,
// aligned, native int64 values. The array is used in place when it already
// has that layout; otherwise it is converted once to a new array that is held
// instead.
HeldArray hold_as_int64(const pybind11::array& array);

}  // namespace corvane
