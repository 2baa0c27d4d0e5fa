#include "graph/held_array.h"

#include <cstdint>

namespace py = pybind11;

namespace corvane {

namespace {

constexpr int kAligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// Readable in place as int64_t: C-contiguous, aligned, native int64.
bool is_contiguous_native_int64(const py::array& array) {
    const int required = py::array::c_style | kAligned;
    return (array.flags() & required) == required &&
           array.dtype().equal(py::dtype::of<std::int64_t>());
}

HeldArray view_of_contiguous(py::array array) {
    Int64View view{static_cast<const std::int64_t*>(array.data()),
                   static_cast<std::size_t>(array.size())};
    return HeldArray{std::move(array), view};
}

}  // namespace

HeldArray hold_as_int64(const py::array& array) {
    if (array.size() == 0) {
        return HeldArray{};
    }
    if (is_contiguous_native_int64(array)) {
        return view_of_contiguous(array);
    }
    // Strided, reversed, misaligned or byte-swapped: one converting copy,
    // kept by us.
    using ContiguousInt64 =
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast | kAligned>;
    return view_of_contiguous(ContiguousInt64(array));
}

}  // namespace corvane
