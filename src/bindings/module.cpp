#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/sampler_factory.h"
#include "graph/neighbor_sampler.h"

namespace py = pybind11;

PYBIND11_MODULE(corvane, module) {
    py::class_<corvane::NeighborSampler>(module, "NeighborSampler")
        .def(py::init(&corvane::make_neighbor_sampler), py::arg("node_types"),
             py::arg("edge_types"), py::arg("colptr"), py::arg("row"), py::arg("node_time"),
             py::arg("seed") = 123)
        .def("sample", &corvane::NeighborSampler::sample, py::arg("num_neighbors"),
             py::arg("sampling_time_offsets"), py::arg("entity_table"), py::arg("seed_node"),
             py::arg("seed_time"));
}
