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

// What a checked array must be: its number of dimensions, and whether it
// must have dtype int64 when it is not empty.
struct ArrayForm {
    int ndim;
    bool require_int64;
};
inline constexpr ArrayForm kInt64List{1, true};      // graph arrays, counts, seeds
inline constexpr ArrayForm kRowsOfAnyDtype{2, false};  // time windows

// Checks a dictionary of arrays: every key (as its str() text) must be one of
// `allowed_keys`, and every value an array as `form` says. Throws
// RuntimeFailure for the first entry, in dictionary order, that fails.
void validate_array_dict(const pybind11::dict& dict, const std::string& name,
                         const std::unordered_set<std::string>& allowed_keys, ArrayForm form);

// The same checks on one array, reported under `name`.
void validate_array(const pybind11::array& array, const std::string& name, ArrayForm form);

}  // namespace corvane
