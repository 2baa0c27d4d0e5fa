// The floor the sampler is measured against: a traversal over the same arrays,
// seeds and fan-outs that does only what no design can skip. It reads every
// expanded column, takes the same MT19937 draws (or the same binary searches
// over node times), reads the chosen neighbour ids and appends them. It keeps
// no de-duplication index and no per-node bookkeeping, and expands every
// appended neighbour in the next hop. Built for the benchmark only.
//
// Two forms of the same traversal: the plain one walks the columns one after
// the other; the memory-parallel one (parallel_floor.h) batches and
// prefetches its loads, which is the limit for memory-bound work.
//
// A third floor, the least-work one (dedup_floor.h), computes the sampler's
// exact result: what no design with the sampler's output can skip.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "dedup_floor.h"
#include "floor_inputs.h"
#include "parallel_floor.h"

namespace py = pybind11;

namespace {

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

using floor_bench::EdgeTypeArrays;
using floor_bench::HopParameter;
using floor_bench::Range;
using floor_bench::Reached;
using floor_bench::Search;

struct Floor {
    std::vector<EdgeTypeArrays> edge_types;
    std::vector<const std::int64_t*> node_time;  // nullptr: no times
    std::vector<std::int64_t> seed_times;
    std::mt19937 generator;
    corvane::RandomEngine engine;  // the same sequence, as the memory-parallel form draws it
    std::int64_t edges = 0;
    bool parallel = false;
    floor_bench::ParallelScratch scratch;

    std::int64_t first_later(const std::int64_t* row, const std::int64_t* time, std::int64_t first,
                             std::int64_t last, __int128 bound) const {
        std::int64_t count = last - first;
        while (count > 0) {
            const std::int64_t half = count / 2;
            if (bound < time[row[first + half]]) {
                count = half;
            } else {
                first += half + 1;
                count -= half + 1;
            }
        }
        return first;
    }

    void append_range(const std::int64_t* row, std::int64_t start, std::int64_t end,
                      std::int64_t batch, std::vector<Reached>& out) {
        for (std::int64_t p = start; p < end; ++p) {
            out.push_back({batch, row[p]});
        }
        edges += end - start;
    }

    void expand(const EdgeTypeArrays& e, const HopParameter& hop, Reached from,
                std::vector<Reached>& out) {
        std::int64_t start = e.colptr[from.node];
        std::int64_t end = e.colptr[from.node + 1];
        const std::int64_t* time = node_time[e.source];
        const bool temporal = time != nullptr && !seed_times.empty();
        if (temporal) {
            const __int128 seed_time = seed_times[from.batch];
            if (hop.window) {
                if (hop.lower) start = first_later(e.row, time, start, end, seed_time + *hop.lower);
                end = first_later(e.row, time, start, end, seed_time + hop.upper);
            } else if (hop.k != 0) {
                end = first_later(e.row, time, start, end, seed_time);
                if (hop.k > 0 && end - start > hop.k) start = end - hop.k;
            } else {
                return;
            }
            append_range(e.row, start, end, from.batch, out);
            return;
        }
        const std::int64_t n = end - start;
        if (hop.k == 0 || n <= 0) return;
        if (hop.k < 0 || hop.k >= n) {
            append_range(e.row, start, end, from.batch, out);
            return;
        }
        for (std::int64_t j = n - hop.k; j < n; ++j) {
            const auto offset = static_cast<std::int64_t>(
                static_cast<std::uint64_t>(generator()) % (static_cast<std::uint64_t>(j) + 1));
            out.push_back({from.batch, e.row[start + offset]});
        }
        edges += hop.k;
    }

    // One edge type of a hop over the whole frontier, in the memory-parallel form.
    void expand_parallel(const EdgeTypeArrays& e, const HopParameter& hop,
                         const std::vector<Reached>& frontier, std::vector<Reached>& out) {
        const std::int64_t* time = node_time[e.source];
        const bool temporal = time != nullptr && !seed_times.empty();
        if (!temporal && hop.k == 0) return;
        if (temporal && !hop.window && hop.k == 0) return;
        std::vector<Range>& columns = scratch.columns;
        floor_bench::gather_columns(e.colptr, frontier.data(), frontier.size(), columns);
        if (!temporal) {
            floor_bench::choose_positions(engine, hop.k, frontier, columns, scratch.picks);
            floor_bench::read_picks(e.row, scratch.picks, out);
            edges += static_cast<std::int64_t>(scratch.picks.size());
            return;
        }
        std::vector<Search>& searches = scratch.searches;
        // Searches every column for seed time + offset; the answer becomes
        // the column's start (a lower bound) or its end.
        const auto search_all = [&](std::int64_t offset, bool sets_start) {
            searches.resize(frontier.size());
            for (std::size_t i = 0; i < frontier.size(); ++i) {
                const Range c = columns[i];
                searches[i] = {c.start, c.end - c.start,
                               __int128{seed_times[frontier[i].batch]} + offset};
            }
            floor_bench::run_searches(e.row, time, searches);
            for (std::size_t i = 0; i < frontier.size(); ++i) {
                (sets_start ? columns[i].start : columns[i].end) = searches[i].first;
            }
        };
        if (hop.window) {
            if (hop.lower) search_all(*hop.lower, true);
            search_all(hop.upper, false);
        } else {
            search_all(0, false);
            if (hop.k > 0) {
                for (Range& c : columns) c.start = std::max(c.start, c.end - hop.k);
            }
        }
        floor_bench::append_ranges(e.row, frontier, columns, out, edges);
    }

    // The frontier lists are kept from one call to the next, as the sampler
    // keeps its working storage: allocating them afresh would add the
    // allocator's costs (and, past its mmap threshold, page faults) to the
    // floor, by amounts that depend on what ran before.
    static std::vector<std::vector<Reached>>& kept_lists(std::size_t which, std::size_t num_types) {
        static std::vector<std::vector<Reached>> lists[2];
        lists[which].resize(num_types);
        for (auto& list : lists[which]) list.clear();
        return lists[which];
    }

    void run(int entity, const std::int64_t* seeds, std::size_t num_seeds, std::size_t num_hops,
             std::size_t num_types) {
        std::vector<std::vector<Reached>>& frontier = kept_lists(0, num_types);
        std::vector<std::vector<Reached>>& next = kept_lists(1, num_types);
        for (std::size_t i = 0; i < num_seeds; ++i) {
            frontier[entity].push_back({static_cast<std::int64_t>(i), seeds[i]});
        }
        for (std::size_t hop = 0; hop < num_hops; ++hop) {
            for (const EdgeTypeArrays& e : edge_types) {
                const HopParameter parameter = e.at(hop);
                if (parallel) {
                    expand_parallel(e, parameter, frontier[e.destination], next[e.source]);
                    continue;
                }
                for (const Reached& from : frontier[e.destination]) {
                    expand(e, parameter, from, next[e.source]);
                }
            }
            frontier.swap(next);
            for (auto& list : next) list.clear();
        }
    }
};

std::vector<HopParameter> read_hops(const py::tuple& selection) {
    std::vector<HopParameter> hops;
    const std::string mode = selection[0].cast<std::string>();
    for (const py::handle item : selection[1]) {
        HopParameter hop;
        if (mode == "count") {
            hop.k = item.cast<std::int64_t>();
        } else {
            const py::tuple window = item.cast<py::tuple>();
            hop.window = true;
            if (!window[0].is_none()) hop.lower = window[0].cast<std::int64_t>();
            hop.upper = window[1].cast<std::int64_t>();
        }
        hops.push_back(hop);
    }
    return hops;
}

// A request's arrays as the floors read them, and the Python objects that
// hold them for as long as a floor runs.
struct FloorInputs {
    std::vector<EdgeTypeArrays> edge_types;
    std::vector<const std::int64_t*> node_time;  // nullptr: no times
    std::vector<py::object> keep;
};

// edge_types: (source index, destination index, colptr, row, ("count", [k...]) or
// ("window", [(lower or None, upper), ...])); node_times: an array or None per
// node type.
FloorInputs read_inputs(const py::list& edge_types, const py::list& node_times) {
    FloorInputs inputs;
    for (const py::handle item : edge_types) {
        const py::tuple selection = item.cast<py::tuple>();
        Int64Array colptr = selection[2].cast<Int64Array>();
        Int64Array row = selection[3].cast<Int64Array>();
        inputs.edge_types.push_back({selection[0].cast<int>(), selection[1].cast<int>(),
                                     colptr.data(), row.data(),
                                     read_hops(selection[4].cast<py::tuple>())});
        inputs.keep.push_back(colptr);
        inputs.keep.push_back(row);
    }
    for (const py::handle item : node_times) {
        if (item.is_none()) {
            inputs.node_time.push_back(nullptr);
        } else {
            Int64Array times = item.cast<Int64Array>();
            inputs.node_time.push_back(times.data());
            inputs.keep.push_back(times);
        }
    }
    return inputs;
}

// The plain or (parallel) the memory-parallel floor over a request (see
// read_inputs). Returns (edges appended, seconds).
py::tuple traverse(const py::list& edge_types, const py::list& node_times, int entity,
                   const Int64Array& seeds, const Int64Array& seed_times, std::size_t num_hops,
                   std::uint32_t seed, bool parallel) {
    static Floor floor;  // its scratch is kept from call to call
    FloorInputs inputs = read_inputs(edge_types, node_times);
    floor.edge_types = std::move(inputs.edge_types);
    floor.node_time = std::move(inputs.node_time);
    floor.edges = 0;
    floor.parallel = parallel;
    floor.generator.seed(seed);
    floor.engine.seed(seed);
    floor.seed_times.assign(seed_times.data(), seed_times.data() + seed_times.size());

    const auto started = std::chrono::steady_clock::now();
    floor.run(entity, seeds.data(), static_cast<std::size_t>(seeds.size()), num_hops,
              node_times.size());
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    return py::make_tuple(floor.edges, elapsed.count());
}

py::array_t<std::int64_t> to_array(const std::vector<std::int64_t>& values) {
    return py::array_t<std::int64_t>(static_cast<py::ssize_t>(values.size()), values.data());
}

// The last least-work call's six lists, in the sampler's order: rows and cols
// by edge type, node ids and batches by node type, nodes per hop by node
// type, edges per hop by edge type.
py::tuple least_work_result(const floor_bench::LeastWorkFloor& floor) {
    py::list rows, cols, nodes, batches, nodes_per_hop, edges_per_hop;
    for (const std::vector<floor_bench::LocalEdge>& edges : floor.edges()) {
        std::vector<std::int64_t> row, col;
        for (const floor_bench::LocalEdge& edge : edges) {
            row.push_back(edge.row);
            col.push_back(edge.col);
        }
        rows.append(to_array(row));
        cols.append(to_array(col));
    }
    for (const floor_bench::TypeNodes& type : floor.types()) {
        std::vector<std::int64_t> ids, trees;
        for (const Reached& node : type.nodes) {
            ids.push_back(node.node);
            trees.push_back(node.batch);
        }
        nodes.append(to_array(ids));
        batches.append(to_array(trees));
        nodes_per_hop.append(to_array(type.per_hop));
    }
    for (const std::vector<std::int64_t>& counts : floor.edges_per_hop()) {
        edges_per_hop.append(to_array(counts));
    }
    return py::make_tuple(rows, cols, nodes, batches, nodes_per_hop, edges_per_hop);
}

// The least-work floor over a request (see read_inputs). Its engine is
// seeded with `seed`, or (None) goes on from the last call, as a sampler's
// does. Returns (edges recorded, seconds, the six lists when keep_result,
// else None).
py::tuple least_work(const py::list& edge_types, const py::list& node_times, int entity,
                     const Int64Array& seeds, const Int64Array& seed_times, std::size_t num_hops,
                     const std::optional<std::uint32_t>& seed, bool keep_result) {
    static floor_bench::LeastWorkFloor floor;  // its storage is kept from call to call
    const FloorInputs inputs = read_inputs(edge_types, node_times);
    if (seed) floor.seed(*seed);
    const std::vector<std::int64_t> times(seed_times.data(), seed_times.data() + seed_times.size());

    const auto started = std::chrono::steady_clock::now();
    const std::int64_t edges = floor.run(inputs.edge_types, inputs.node_time, entity, seeds.data(),
                                         static_cast<std::size_t>(seeds.size()), times, num_hops);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    return py::make_tuple(edges, elapsed.count(),
                          keep_result ? py::object(least_work_result(floor)) : py::none());
}

// Seconds taken to build six dictionaries of new int64 arrays with the keys
// and lengths of `result` (a sample result), the way the sampler builds its
// own: one array per list, filled by one copy, stored under a new str key.
double assemble_like(const py::tuple& result) {
    std::vector<std::vector<std::string>> keys(6);
    std::vector<std::vector<std::vector<std::int64_t>>> lists(6);
    for (std::size_t i = 0; i < 6; ++i) {
        for (const auto item : result[i].cast<py::dict>()) {
            keys[i].push_back(item.first.cast<std::string>());
            const Int64Array values = item.second.cast<Int64Array>();
            lists[i].emplace_back(values.data(), values.data() + values.size());
        }
    }
    // Built twice, the second time timed: the first takes from the allocator
    // the fresh memory that a sampler's call finds already there when the
    // caller has dropped the result before (the `result` passed is alive).
    std::chrono::duration<double> elapsed{};
    for (int round = 0; round < 2; ++round) {
        const auto started = std::chrono::steady_clock::now();
        py::list dicts;
        for (std::size_t i = 0; i < 6; ++i) {
            py::dict d;
            for (std::size_t j = 0; j < keys[i].size(); ++j) {
                const auto& values = lists[i][j];
                py::array_t<std::int64_t> array(static_cast<py::ssize_t>(values.size()));
                if (!values.empty()) {
                    std::memcpy(array.mutable_data(), values.data(),
                                values.size() * sizeof(std::int64_t));
                }
                d[py::str(keys[i][j])] = array;
            }
            dicts.append(d);
        }
        elapsed = std::chrono::steady_clock::now() - started;
    }
    return elapsed.count();
}

}  // namespace

PYBIND11_MODULE(corvane_floor, module) {
    module.def("traverse", &traverse, py::arg("edge_types"), py::arg("node_times"),
               py::arg("entity"), py::arg("seeds"), py::arg("seed_times"), py::arg("num_hops"),
               py::arg("seed"), py::arg("parallel") = false);
    module.def("least_work", &least_work, py::arg("edge_types"), py::arg("node_times"),
               py::arg("entity"), py::arg("seeds"), py::arg("seed_times"), py::arg("num_hops"),
               py::arg("seed"), py::arg("keep_result") = false);
    module.def("assemble_like", &assemble_like);
}
