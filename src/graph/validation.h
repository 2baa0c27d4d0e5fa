#pragma once

#include <string>
#include <unordered_set>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace corvane {

// numpy's general conversion of a dictionary value to an array: an ndarray (or
// subclass) is used as it is, anything else is converted, and numpy's own
// error propagates when it cannot be.
pybind11::array to_array(const pybind11::handle& value);

// Checks a dictionary of arrays: every key (as its str() text) must be one of
// `allowed_keys`, every value an array of `expected_ndim` dimensions, and of
// dtype int64 when `require_int64` is set and the array is not empty. Throws
// RuntimeFailure for the first entry, in dictionary order, that fails.
void validate_array_dict(const pybind11::dict& dict, const std::string& name,
                         const std::unordered_set<std::string>& allowed_keys, int expected_ndim,
                         bool require_int64);

// The same checks on one array, reported under `name`.
void validate_array(const pybind11::array& array, const std::string& name, int expected_ndim,
                    bool require_int64);

}  // namespace corvane
