// The least-work floor: the sampler's exact result (node ids and batches per
// node type, local rows and cols per edge type, nodes and edges per hop) and
// nothing else. Same arrays, seeds, fan-outs, MT19937 draws in the same order
// and binary searches as the sampler; no Python objects, no argument checks.
//
// Every seed grows its own tree. A neighbour chosen for a node of tree b gets
// a new local index (the next position of its type's list) only when tree b
// lacks it; only nodes new to their tree form the next hop's frontier; every
// choice records an edge (the neighbour's local index, the frontier node's).
//
// De-duplication keeps one small table for the tree being admitted to, not one
// table per node type over all trees. A pass (one edge type over its
// destination's frontier) meets the trees in runs of ascending batch, since
// seeds are in batch order and every pass admits in frontier order; so a
// type's list is a sequence of segments, each in batch order, with tree b's
// nodes of segment g at [offsets[b], offsets[b + 1]). When a pass reaches
// tree b, the table is emptied by a new stamp and refilled with tree b's
// nodes of the source type's earlier segments. It is sized for those plus the
// run's chosen neighbours (an exact bound, so it never grows): 16-byte slots
// (node, local index, stamp), at most 1/kSpread full, a multiplicative hash,
// linear probing. It stays in the caches.
//
// A pass makes three sweeps over its frontier, as parallel_floor.h does:
//   1. the colptr entries, then each node's choice: without time the whole
//      column or Floyd's k offsets, drawn in node order; with time a range
//      from binary searches, all in flight together (run_searches);
//   2. the rows at the drawn offsets, read with prefetches kAhead ahead;
//   3. admission in node order, the rows of the ranges kAhead nodes on
//      prefetched.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "floor_inputs.h"
#include "parallel_floor.h"
#include "random/random_engine.h"

namespace floor_bench {

// One recorded edge: local indices of the neighbour and of the frontier node.
struct LocalEdge {
    std::int64_t row;
    std::int64_t col;
};

inline std::size_t power_of_two_at_least(std::size_t value) {
    std::size_t power = 16;
    while (power < value) {
        power <<= 1;
    }
    return power;
}

inline int log2_of_power(std::size_t power) { return 63 - __builtin_clzll(power); }

// Empties a stamped open-addressing table of `capacity` slots (a power of two):
// a new stamp marks every earlier slot free; the slots are cleared only when
// they grow or the stamp wraps.
template <class Slot>
void restart_slots(std::vector<Slot>& slots, std::size_t capacity, std::size_t& mask, int& shift,
                   std::uint32_t& stamp) {
    if (capacity > slots.size()) {
        slots.assign(capacity, Slot{});
        stamp = 0;
    }
    mask = capacity - 1;
    shift = 64 - log2_of_power(capacity);
    if (++stamp == 0) {
        std::fill(slots.begin(), slots.end(), Slot{});
        stamp = 1;
    }
}

constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;

// Node id to local index for the nodes of one tree and type.
class TreeTable {
public:
    static constexpr std::size_t kSpread = 4;

    // Empty, with room for `entries` nodes.
    void reset(std::size_t entries) {
        const std::size_t capacity = power_of_two_at_least(kSpread * entries);
        restart_slots(slots_, capacity, mask_, shift_, stamp_);
    }

    // The local index of `node`; when the table lacks it, `next` (entered).
    std::int64_t find_or_enter(std::int64_t node, std::int64_t next) {
        std::size_t at = home(node);
        for (; slots_[at].stamp == stamp_; at = (at + 1) & mask_) {
            if (slots_[at].node == node) {
                return slots_[at].local;
            }
        }
        slots_[at] = Slot{node, static_cast<std::uint32_t>(next), stamp_};
        return next;
    }

private:
    struct Slot {
        std::int64_t node = 0;
        std::uint32_t local = 0;
        std::uint32_t stamp = 0;
    };

    std::size_t home(std::int64_t node) const {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(node) * kGolden) >> shift_);
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    int shift_ = 60;
    std::uint32_t stamp_ = 0;
};

// The offsets one selection of more than kScanLimit has taken.
class TakenOffsets {
public:
    void reset(std::int64_t k) {
        const std::size_t capacity = power_of_two_at_least(2 * static_cast<std::size_t>(k));
        restart_slots(slots_, capacity, mask_, shift_, stamp_);
    }

    // Marks `offset` taken; false if it was.
    bool take(std::int64_t offset) {
        std::size_t at =
            static_cast<std::size_t>((static_cast<std::uint64_t>(offset) * kGolden) >> shift_);
        for (; slots_[at].stamp == stamp_; at = (at + 1) & mask_) {
            if (slots_[at].offset == offset) {
                return false;
            }
        }
        slots_[at] = Slot{offset, stamp_};
        return true;
    }

private:
    struct Slot {
        std::int64_t offset = 0;
        std::uint32_t stamp = 0;
    };
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    int shift_ = 60;
    std::uint32_t stamp_ = 0;
};

// A selection of up to this many offsets compares each draw with the
// offsets it chose before; a larger one looks them up in a TakenOffsets.
constexpr std::int64_t kScanLimit = 32;

// Floyd's method, as the sampler takes it: k offsets of n (0 < k < n), the
// step for j drawing one value below j + 1 and taking it, or j itself when
// it was taken before. The positions column_start + offset are appended in
// the order chosen.

inline void draw_offsets(corvane::RandomEngine& engine, std::int64_t column_start, std::int64_t n,
                         std::int64_t k, TakenOffsets& taken, std::vector<std::int64_t>& out) {
    const std::size_t first = out.size();
    if (k > kScanLimit) {
        taken.reset(k);
    }
    for (std::int64_t j = n - k; j < n; ++j) {
        const auto drawn =
            static_cast<std::int64_t>(engine.draw_below(static_cast<std::uint64_t>(j) + 1));
        bool was_taken = false;
        if (k > kScanLimit) {
            was_taken = !taken.take(drawn);
            if (was_taken) {
                taken.take(j);
            }
        } else {
            for (std::size_t p = first; p < out.size(); ++p) {
                was_taken |= out[p] == column_start + drawn;
            }
        }
        out.push_back(column_start + (was_taken ? j : drawn));
    }
}

// The nodes of one type that a call sampled, position = local index, and
// the segments that find each tree's among them.
struct TypeNodes {
    std::vector<Reached> nodes;
    std::vector<std::vector<std::size_t>> segments;  // offsets by tree, trees + 1 each
    std::size_t closed = 0;                          // segments[0, closed) are complete
    std::int64_t open_tree = -1;                     // the open segment's last tree started
    std::size_t frontier_begin = 0;
    std::size_t frontier_end = 0;
    std::vector<std::int64_t> per_hop;  // num_sampled_nodes

    void clear() {
        nodes.clear();
        closed = 0;
        open_tree = -1;
        frontier_begin = frontier_end = 0;
        per_hop.assign(1, 0);
    }

    // Opens segments[closed], empty, for `trees` trees.
    void open_segment(std::size_t trees) {
        if (closed == segments.size()) {
            segments.emplace_back();
        }
        segments[closed].resize(trees + 1);
        open_tree = -1;
    }

    // Tree `tree` of the open segment starts at the list's end; it comes
    // after every tree started there before.
    void start_tree(std::int64_t tree) {
        std::vector<std::size_t>& offsets = segments[closed];
        for (std::int64_t t = open_tree + 1; t <= tree; ++t) {
            offsets[static_cast<std::size_t>(t)] = nodes.size();
        }
        open_tree = tree;
    }

    // Completes the open segment, kept only when it holds nodes.
    void close_segment() {
        std::vector<std::size_t>& offsets = segments[closed];
        start_tree(static_cast<std::int64_t>(offsets.size()) - 1);
        if (offsets.front() < offsets.back()) {
            ++closed;
        }
    }

    // Tree `tree`'s nodes in the complete segments.
    std::size_t tree_size(std::size_t tree) const {
        std::size_t size = 0;
        for (std::size_t g = 0; g < closed; ++g) {
            size += segments[g][tree + 1] - segments[g][tree];
        }
        return size;
    }
};

// One frontier node's choice: a range of row, or (drawn) a range of the
// pass's drawn neighbours.
struct Choice {
    std::int64_t first;
    std::int64_t last;
    bool drawn;
};

class LeastWorkFloor {
public:
    // The engine restarted, as in a sampler constructed with `seed`.
    void seed(std::uint32_t seed) { engine_.seed(seed); }

    // One call: seeds[i] opens tree i; seed_times as the request gives them
    // (empty: the entity's node times, when it has them). Returns the edges
    // recorded.
    std::int64_t run(const std::vector<EdgeTypeArrays>& edge_types,
                     const std::vector<const std::int64_t*>& node_time, int entity,
                     const std::int64_t* seeds, std::size_t num_seeds,
                     const std::vector<std::int64_t>& seed_times, std::size_t num_hops) {
        start(edge_types.size(), node_time.size(), num_seeds);
        enter_seeds(static_cast<std::size_t>(entity), seeds, num_seeds);
        seed_times_ = seed_times;
        const std::int64_t* entity_time = node_time[static_cast<std::size_t>(entity)];
        if (seed_times_.empty() && entity_time != nullptr) {
            for (std::size_t i = 0; i < num_seeds; ++i) {
                seed_times_.push_back(entity_time[seeds[i]]);
            }
        }
        std::int64_t recorded = 0;
        for (std::size_t hop = 0; hop < num_hops; ++hop) {
            for (std::size_t e = 0; e < edge_types.size(); ++e) {
                const EdgeTypeArrays& edge_type = edge_types[e];
                const std::size_t before = edges_[e].size();
                const std::int64_t* time = node_time[static_cast<std::size_t>(edge_type.source)];
                expand(edge_type, edge_type.at(hop), seed_times_.empty() ? nullptr : time,
                       edges_[e]);
                edges_per_hop_[e].push_back(static_cast<std::int64_t>(edges_[e].size() - before));
                recorded += edges_per_hop_[e].back();
            }
            for (TypeNodes& type : types_) {
                type.frontier_begin = type.frontier_end;
                type.frontier_end = type.nodes.size();
                type.per_hop.push_back(
                    static_cast<std::int64_t>(type.frontier_end - type.frontier_begin));
            }
        }
        return recorded;
    }

    const std::vector<TypeNodes>& types() const { return types_; }
    const std::vector<std::vector<LocalEdge>>& edges() const { return edges_; }
    const std::vector<std::vector<std::int64_t>>& edges_per_hop() const { return edges_per_hop_; }

private:
    // Every list emptied, its storage kept for the next call, as the sampler
    // keeps its own.
    void start(std::size_t num_edge_types, std::size_t num_node_types, std::size_t num_seeds) {
        types_.resize(num_node_types);
        for (TypeNodes& type : types_) {
            type.clear();
        }
        edges_.resize(num_edge_types);
        edges_per_hop_.resize(num_edge_types);
        for (std::size_t e = 0; e < num_edge_types; ++e) {
            edges_[e].clear();
            edges_per_hop_[e].clear();
        }
        trees_ = num_seeds;
    }

    // Seed i: tree i's first node, at local index i; segment 0 of its type.
    void enter_seeds(std::size_t entity, const std::int64_t* seeds, std::size_t num_seeds) {
        TypeNodes& type = types_[entity];
        type.open_segment(num_seeds);
        for (std::size_t i = 0; i < num_seeds; ++i) {
            type.start_tree(static_cast<std::int64_t>(i));
            type.nodes.push_back({static_cast<std::int64_t>(i), seeds[i]});
        }
        type.close_segment();
        type.frontier_end = num_seeds;
        type.per_hop.assign(1, static_cast<std::int64_t>(num_seeds));
    }

    // Sweep 1 of a count selection without time.
    void choose_by_count(const std::int64_t k) {
        const std::size_t n = columns_.size();
        choices_.resize(n);
        drawn_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            const Range column = columns_[i];
            const std::int64_t size = std::max<std::int64_t>(column.end - column.start, 0);
            if (k < 0 || k >= size) {
                choices_[i] = {column.start, column.start + size, false};
                continue;
            }
            const auto first = static_cast<std::int64_t>(drawn_.size());
            draw_offsets(engine_, column.start, size, k, taken_, drawn_);
            choices_[i] = {first, first + k, true};
        }
    }

    // Sweep 1 with time: binary searches for every node's range.
    void choose_by_time(const std::int64_t* row, const std::int64_t* time, const Reached* frontier,
                        const HopParameter& hop) {
        const std::size_t n = columns_.size();
        for (Range& column : columns_) {
            column.end = std::max(column.end, column.start);
        }
        // Searches every column for seed time + offset; the answer becomes
        // the column's start (a lower bound) or its end.
        const auto search_all = [&](std::int64_t offset, bool sets_start) {
            searches_.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                const Range c = columns_[i];
                searches_[i] = {
                    c.start, c.end - c.start,
                    __int128{seed_times_[static_cast<std::size_t>(frontier[i].batch)]} + offset};
            }
            run_searches(row, time, searches_);
            for (std::size_t i = 0; i < n; ++i) {
                (sets_start ? columns_[i].start : columns_[i].end) = searches_[i].first;
            }
        };
        if (hop.window) {
            if (hop.lower) {
                search_all(*hop.lower, true);
            }
            search_all(hop.upper, false);
        } else {
            search_all(0, false);
            if (hop.k > 0) {
                for (Range& c : columns_) {
                    c.start = std::max(c.start, c.end - hop.k);
                }
            }
        }
        choices_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            choices_[i] = {columns_[i].start, columns_[i].end, false};
        }
    }

    // Sweep 2: the rows at the drawn positions, in place.
    void read_drawn(const std::int64_t* row) {
        const std::size_t n = drawn_.size();
        for (std::size_t i = 0; i < std::min(n, kAhead); ++i) {
            prefetch_line(row + drawn_[i]);
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) {
                prefetch_line(row + drawn_[i + kAhead]);
            }
            drawn_[i] = row[drawn_[i]];
        }
    }

    // Tree `tree` of `source` is admitted to next: the open segment moves on
    // to it (a new segment when it comes before the last one started) and
    // the table holds the tree's earlier nodes, with room for `coming` more.
    void start_tree(TypeNodes& source, std::int64_t tree, std::size_t coming) {
        if (tree <= source.open_tree) {
            source.close_segment();
            source.open_segment(trees_);
        }
        source.start_tree(tree);
        const auto t = static_cast<std::size_t>(tree);
        table_.reset(source.tree_size(t) + coming);
        for (std::size_t g = 0; g < source.closed; ++g) {
            const std::vector<std::size_t>& offsets = source.segments[g];
            for (std::size_t i = offsets[t]; i < offsets[t + 1]; ++i) {
                table_.find_or_enter(source.nodes[i].node, static_cast<std::int64_t>(i));
            }
        }
    }

    // Sweep 3: every choice admitted, in node order; `frontier_begin` is the
    // local index of the frontier's first node.
    void admit(TypeNodes& source, const std::vector<Reached>& destination_nodes,
               std::size_t frontier_begin, const std::int64_t* row, std::vector<LocalEdge>& edges) {
        const std::size_t n = choices_.size();
        std::size_t run_end = 0;  // the nodes before it are in the tree admitted to
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) {
                const Choice ahead = choices_[i + kAhead];
                if (!ahead.drawn && ahead.first < ahead.last) {
                    prefetch_line(row + ahead.first);
                }
            }
            const Choice choice = choices_[i];
            if (choice.first >= choice.last) {
                continue;
            }
            const std::int64_t batch = destination_nodes[frontier_begin + i].batch;
            if (i >= run_end) {  // the run of this tree's nodes starts here
                std::size_t coming = 0;
                for (run_end = i;
                     run_end < n && destination_nodes[frontier_begin + run_end].batch == batch;
                     ++run_end) {
                    coming +=
                        static_cast<std::size_t>(choices_[run_end].last - choices_[run_end].first);
                }
                start_tree(source, batch, coming);
            }
            const std::int64_t* neighbors = choice.drawn ? drawn_.data() : row;
            const auto col = static_cast<std::int64_t>(frontier_begin + i);
            for (std::int64_t p = choice.first; p < choice.last; ++p) {
                const std::int64_t node = neighbors[p];
                const auto next = static_cast<std::int64_t>(source.nodes.size());
                const std::int64_t local = table_.find_or_enter(node, next);
                if (local == next) {
                    source.nodes.push_back({batch, node});
                }
                edges.push_back({local, col});
            }
        }
    }

    // One edge type over its destination's frontier; `time`: the source's
    // node times when the hop samples with time, else null.
    void expand(const EdgeTypeArrays& e, const HopParameter& hop, const std::int64_t* time,
                std::vector<LocalEdge>& edges) {
        const bool reads_columns = hop.window ? time != nullptr : hop.k != 0;
        TypeNodes& destination = types_[static_cast<std::size_t>(e.destination)];
        const std::size_t begin = destination.frontier_begin;
        if (!reads_columns || begin == destination.frontier_end) {
            return;
        }
        const Reached* frontier = destination.nodes.data() + begin;
        gather_columns(e.colptr, frontier, destination.frontier_end - begin, columns_);
        if (time != nullptr) {
            choose_by_time(e.row, time, frontier, hop);
        } else {
            choose_by_count(hop.k);
            read_drawn(e.row);
        }
        std::size_t coming = 0;
        for (const Choice& choice : choices_) {
            coming += static_cast<std::size_t>(choice.last - choice.first);
        }
        TypeNodes& source = types_[static_cast<std::size_t>(e.source)];
        if (source.nodes.size() + coming > std::numeric_limits<std::uint32_t>::max()) {
            throw std::length_error("local indices past 32 bits");
        }
        // Room for every admission: the lists never move while admitting.
        source.nodes.reserve(source.nodes.size() + coming);
        edges.reserve(edges.size() + coming);
        source.open_segment(trees_);
        admit(source, destination.nodes, begin, e.row, edges);
        source.close_segment();
    }

    corvane::RandomEngine engine_;
    std::vector<TypeNodes> types_;
    std::vector<std::vector<LocalEdge>> edges_;
    std::vector<std::vector<std::int64_t>> edges_per_hop_;
    std::vector<std::int64_t> seed_times_;
    std::size_t trees_ = 0;
    // Working storage of a pass, kept from call to call.
    std::vector<Range> columns_;
    std::vector<Choice> choices_;
    std::vector<std::int64_t> drawn_;  // positions, then the neighbours there
    std::vector<Search> searches_;
    TakenOffsets taken_;
    TreeTable table_;
};

}  // namespace floor_bench
