#pragma once

#include <pybind11/pybind11.h>

#include "graph/neighbor_sampler.h"

namespace corvane {

// The `self` of a NeighborSampler method, accepted only once __init__ has
// built the C++ object. An instance made by __new__ alone, or used by a
// subclass's __init__ before it calls the base __init__, has no object yet:
// pybind11 would hand the method uninitialised memory, so the call is
// refused with a TypeError before any of the sampler's code runs.
struct ConstructedSampler {
    NeighborSampler* sampler = nullptr;
};

}  // namespace corvane

namespace pybind11::detail {

template <>
struct type_caster<corvane::ConstructedSampler> {
    // Named as the class itself, so signatures read `self: corvane.NeighborSampler`.
    PYBIND11_TYPE_CASTER(corvane::ConstructedSampler, make_caster<corvane::NeighborSampler>::name);

    bool load(handle source, bool /*convert*/) {
        if (!isinstance<corvane::NeighborSampler>(source)) {
            return false;  // pybind11 reports the incompatible argument
        }
        auto* instance = reinterpret_cast<detail::instance*>(source.ptr());
        const value_and_holder held =
            instance->get_value_and_holder(get_type_info(typeid(corvane::NeighborSampler)));
        if (!held.holder_constructed()) {
            throw type_error(
                "NeighborSampler.__init__() has not run on this instance: construct it before "
                "calling its methods.");
        }
        value.sampler = held.value_ptr<corvane::NeighborSampler>();
        return true;
    }
};

}  // namespace pybind11::detail
