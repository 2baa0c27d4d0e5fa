#include "bindings/sampler_factory.h"

#include <utility>

namespace py = pybind11;

namespace corvane {

std::unique_ptr<NeighborSampler> make_neighbor_sampler(std::vector<std::string> node_types,
                                                       std::vector<EdgeType> edge_types,
                                                       py::dict colptr, py::dict row,
                                                       py::object node_time, int seed) {
    py::dict node_time_dict(node_time);
    return std::make_unique<NeighborSampler>(std::move(node_types), std::move(edge_types),
                                             std::move(colptr), std::move(row),
                                             std::move(node_time_dict), seed);
}

}  // namespace corvane
