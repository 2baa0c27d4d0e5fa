// The memory-parallel floor: the traversal of the plain floor (same arrays,
// seeds, fan-outs, MT19937 draws and binary searches, no de-duplication, no
// bookkeeping), arranged so that as many independent cache misses as the
// CPU can track are in flight at once.
//
// Each edge type of a hop runs as a few passes over its frontier:
//   1. the colptr entries, read in one sweep with prefetches kAhead nodes ahead;
//   2. count hops: every draw, taken in node order, giving row positions
//      (draws depend only on column sizes, so they need no memory traffic);
//      then every chosen row read in one sweep, prefetched kAhead ahead;
//   3. temporal hops: all binary searches of the frontier run interleaved in a
//      pool of kSearches slots, one probe per slot per round; a probe's two
//      dependent loads (the row entry, then its neighbour's time) are split
//      across the round's stages, so each stage has kSearches misses in
//      flight, and a finished search hands its slot to the next;
//      then the chosen ranges are appended, the next ranges' rows prefetched.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/prefetch.h"
#include "random/random_engine.h"

namespace floor_bench {

using corvane::prefetch_line;

struct Reached {
    std::int64_t batch;
    std::int64_t node;
};

struct Range {
    std::int64_t start;
    std::int64_t end;
};

// Distance, in elements, of the prefetches in the streaming sweeps.
constexpr std::size_t kAhead = 24;
// Binary searches in flight together.
constexpr std::size_t kSearches = 24;

// Sweep 1: the column of every frontier node.
inline void gather_columns(const std::int64_t* colptr, const Reached* frontier, std::size_t n,
                           std::vector<Range>& columns) {
    columns.resize(n);
    for (std::size_t i = 0; i < std::min(n, kAhead); ++i) prefetch_line(colptr + frontier[i].node);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) prefetch_line(colptr + frontier[i + kAhead].node);
        const std::int64_t* entry = colptr + frontier[i].node;
        columns[i] = {entry[0], entry[1]};
    }
}

struct Pick {
    std::int64_t batch;
    std::int64_t position;
};

// Sweep 2 of a count hop: the row positions chosen for every node, in order.
// The draws come from the sampler's own engine, the fastest this project has.
inline void choose_positions(corvane::RandomEngine& generator, std::int64_t k,
                             const std::vector<Reached>& frontier,
                             const std::vector<Range>& columns, std::vector<Pick>& picks) {
    picks.clear();
    for (std::size_t i = 0; i < frontier.size(); ++i) {
        const Range column = columns[i];
        const std::int64_t n = column.end - column.start;
        if (n <= 0) continue;
        if (k < 0 || k >= n) {
            for (std::int64_t p = column.start; p < column.end; ++p) {
                picks.push_back({frontier[i].batch, p});
            }
            continue;
        }
        for (std::int64_t j = n - k; j < n; ++j) {
            const auto offset =
                static_cast<std::int64_t>(generator.draw_below(static_cast<std::uint64_t>(j) + 1));
            picks.push_back({frontier[i].batch, column.start + offset});
        }
    }
}

// Sweep 3 of a count hop: the chosen neighbours, appended.
inline void read_picks(const std::int64_t* row, const std::vector<Pick>& picks,
                       std::vector<Reached>& out) {
    const std::size_t n = picks.size();
    for (std::size_t i = 0; i < std::min(n, kAhead); ++i) prefetch_line(row + picks[i].position);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n) prefetch_line(row + picks[i + kAhead].position);
        out.push_back({picks[i].batch, row[picks[i].position]});
    }
}

// One binary search: the first position in [first, first + count) whose
// neighbour's time is above bound.
struct Search {
    std::int64_t first;
    std::int64_t count;
    __int128 bound;
};

// Runs every search of `searches`, in place (first is the answer), kSearches
// at a time.
inline void run_searches(const std::int64_t* row, const std::int64_t* time,
                         std::vector<Search>& searches) {
    std::size_t slot_task[kSearches];
    std::int64_t middle[kSearches];
    std::int64_t neighbor[kSearches];
    std::size_t next = 0;
    std::size_t active = 0;
    const auto refill = [&](std::size_t slot) {
        while (next < searches.size() && searches[next].count <= 0) ++next;
        if (next == searches.size()) return false;
        slot_task[slot] = next++;
        return true;
    };
    while (active < kSearches && refill(active)) ++active;
    while (active > 0) {
        for (std::size_t s = 0; s < active; ++s) {
            const Search& search = searches[slot_task[s]];
            middle[s] = search.first + search.count / 2;
            prefetch_line(row + middle[s]);
        }
        for (std::size_t s = 0; s < active; ++s) {
            neighbor[s] = row[middle[s]];
            prefetch_line(time + neighbor[s]);
        }
        for (std::size_t s = 0; s < active;) {
            Search& search = searches[slot_task[s]];
            const std::int64_t half = search.count / 2;
            if (search.bound < time[neighbor[s]]) {
                search.count = half;
            } else {
                search.first = middle[s] + 1;
                search.count -= half + 1;
            }
            if (search.count > 0 || refill(s)) {
                ++s;
                continue;
            }
            // No search left to take the slot: the last active one moves in.
            --active;
            slot_task[s] = slot_task[active];
            middle[s] = middle[active];
            neighbor[s] = neighbor[active];
        }
    }
}

// The ranges of row appended for each node, then appended in node order.
inline void append_ranges(const std::int64_t* row, const std::vector<Reached>& frontier,
                          const std::vector<Range>& ranges, std::vector<Reached>& out,
                          std::int64_t& edges) {
    const std::size_t n = ranges.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kAhead < n && ranges[i + kAhead].end > ranges[i + kAhead].start) {
            prefetch_line(row + ranges[i + kAhead].start);
        }
        for (std::int64_t p = ranges[i].start; p < ranges[i].end; ++p) {
            out.push_back({frontier[i].batch, row[p]});
        }
        edges += std::max<std::int64_t>(ranges[i].end - ranges[i].start, 0);
    }
}

// Per-call working storage, kept from one call to the next as the sampler
// keeps its own.
struct ParallelScratch {
    std::vector<Range> columns;
    std::vector<Pick> picks;
    std::vector<Search> searches;
};

}  // namespace floor_bench
