#include "graph/neighbor_sampler.h"
#include "graph/whole_message_error.h"
#include "sampling/call_setup.h"
#include "sampling/hop_loop.h"
#include "sampling/request_validation.h"
#include "sampling/result_assembly.h"

namespace py = pybind11;

namespace corvane {

namespace {

// Python code can run inside a call (a dict subclass's __getitem__, an
// offset's __index__) and could call sample on the same sampler again, from
// this thread or another; the inner call would then empty the working maps
// under the outer one. Such a call is refused instead.
class CallInProgress {
public:
    explicit CallInProgress(bool& flag) : flag_(flag) {
        if (flag_) {
            throw RuntimeFailure(
                "sample was called on a NeighborSampler whose previous sample call has not "
                "returned yet.");
        }
        flag_ = true;
    }
    ~CallInProgress() { flag_ = false; }
    CallInProgress(const CallInProgress&) = delete;
    CallInProgress& operator=(const CallInProgress&) = delete;

private:
    bool& flag_;
};

}  // namespace

SampleResult NeighborSampler::sample(py::dict num_neighbors, py::dict sampling_time_offsets,
                                     std::string entity_table, py::array seed_node,
                                     py::array seed_time) {
    const CallInProgress in_progress(sampling_);
    const SeedArrays seeds = check_request_arguments(graph_, num_neighbors, sampling_time_offsets,
                                                     entity_table, seed_node, seed_time);
    const WorkingMapsGuard emptied_on_exit(working_);
    start_call(graph_, working_, call_);
    const SampleRequest request = plan_edge_types(graph_, num_neighbors, sampling_time_offsets);
    enter_seeds(graph_, entity_table, seeds, call_, working_);

    HopContext context{graph_, request, call_, working_, generator_};
    for (std::uint64_t hop = 0; hop < request.num_hops; ++hop) {
        run_hop(context, hop);
    }
    return assemble_results(graph_, working_, call_);
}

}  // namespace corvane
