#include "graph/neighbor_sampler.h"
#include "sampling/call_scope.h"
#include "sampling/call_setup.h"
#include "sampling/edge_type_requests.h"
#include "sampling/hop_loop.h"
#include "sampling/request_validation.h"
#include "sampling/result_assembly.h"

namespace py = pybind11;

namespace corvane {

// Check, run, assemble: every argument is checked before the first draw, the
// hops run over the call's own state, and the result is built from it.
SampleResult NeighborSampler::sample(py::dict num_neighbors, py::dict sampling_time_offsets,
                                     std::string entity_table, py::array seed_node,
                                     py::array seed_time) {
    CallState& call = *call_;
    const CallScope scope(graph_, call);
    const SeedArrays seeds = check_request_arguments(graph_, num_neighbors, sampling_time_offsets,
                                                     entity_table, seed_node, seed_time);
    const SampleRequest request =
        read_edge_type_requests(graph_, num_neighbors, sampling_time_offsets);

    const std::size_t entity = *graph_.listed_node_type(entity_table);  // checked above
    enter_seeds(graph_, entity, SeedView{seeds.nodes.view, seeds.times.view}, call);
    HopContext context{graph_, request, call, generator_};
    run_hops(context);

    return assemble_results(graph_, call);
}

}  // namespace corvane
