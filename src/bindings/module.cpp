#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/constructed_sampler.h"
#include "bindings/error_translation.h"
#include "bindings/sampler_factory.h"
#include "graph/neighbor_sampler.h"

namespace py = pybind11;

namespace {

corvane::SampleResult sample(corvane::ConstructedSampler self, py::dict num_neighbors,
                             py::dict sampling_time_offsets, std::string entity_table,
                             py::array seed_node, py::array seed_time) {
    return self.sampler->sample(std::move(num_neighbors), std::move(sampling_time_offsets),
                                std::move(entity_table), std::move(seed_node),
                                std::move(seed_time));
}

}  // namespace

PYBIND11_MODULE(corvane, module) {
    corvane::register_error_translation();
    py::class_<corvane::NeighborSampler>(module, "NeighborSampler")
        .def(py::init(&corvane::make_neighbor_sampler), py::arg("node_types"),
             py::arg("edge_types"), py::arg("colptr"), py::arg("row"), py::arg("node_time"),
             py::arg("seed") = 123)
        .def("sample", &sample, py::arg("num_neighbors"), py::arg("sampling_time_offsets"),
             py::arg("entity_table"), py::arg("seed_node"), py::arg("seed_time"));
}
