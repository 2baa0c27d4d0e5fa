// Checks of the de-duplication index and the per-call books that need the C++
// side: correctness when every key collides, and the state left behind by an
// allocation that fails midway. Prints one "<check> pass|fail" line per check
// and exits with 1 when any fails (ctest runs it: make test-cpp).
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <new>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "random/random_engine.h"
#include "sampling/node_book.h"
#include "sampling/node_index.h"
#include "sampling/selection_scratch.h"
#include "sampling/taken_set.h"
#include "sampling/tree_index.h"

// The replaced operator new below takes its blocks from malloc, which GCC does
// not see when it pairs allocations with frees.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Allocation failure on demand: the allocation after `allocations_before_failure`
// more succeed throws std::bad_alloc, once.
static long allocations_before_failure = -1;

void* operator new(std::size_t size) {
    if (allocations_before_failure == 0) {
        allocations_before_failure = -1;
        throw std::bad_alloc();
    }
    if (allocations_before_failure > 0) {
        --allocations_before_failure;
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

using corvane::NodeBook;
using corvane::SampledNode;

struct CollidingHash {
    std::uint64_t operator()(SampledNode) const { return 0; }
};

// Every key in one probe run, over several calls of growing and shrinking
// size, against a map from key to first position. The base limit is low
// enough that one clearing wraps the base back to 0.
bool colliding_hash_matches_a_map() {
    corvane::BasicNodeIndex<CollidingHash, 5000> index;
    std::mt19937_64 draw(7);
    for (int call = 0; call < 6; ++call) {
        std::vector<SampledNode> nodes;
        std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> expected;
        const int admissions = call % 2 == 0 ? 3000 : 200;
        for (int i = 0; i < admissions; ++i) {
            const SampledNode key{static_cast<std::int64_t>(draw() % 5),
                                  static_cast<std::int64_t>(draw() % 400)};
            const auto probe = index.find(key, nodes);
            const auto [entry, is_new] = expected.try_emplace(
                {key.batch, key.node}, static_cast<std::int64_t>(nodes.size()));
            if (probe.found() == is_new || (probe.found() && probe.local != entry->second)) {
                return false;
            }
            if (!probe.found()) {
                nodes.push_back(key);
                index.insert(probe, key, entry->second, nodes);
            }
        }
        index.clear(nodes.size());
    }
    return true;
}

// A tree's table against a map, every key in one probe run: trees opened
// with too little room (growth), with room, and again with their earlier
// nodes refilled, over a base limit low enough to wrap.
bool colliding_tree_table_matches_a_map() {
    corvane::BasicTreeIndex<CollidingHash, 5000> table;
    std::mt19937_64 draw(11);
    std::map<std::int64_t, std::vector<std::pair<std::int64_t, std::int64_t>>> trees;
    std::int64_t list_size = 0;
    for (int visit = 0; visit < 60; ++visit) {
        const auto batch = static_cast<std::int64_t>(draw() % 4);
        auto& earlier = trees[batch];
        table.open(batch, earlier.size() + draw() % 2 * 100, static_cast<std::size_t>(list_size));
        std::map<std::int64_t, std::int64_t> expected;
        for (const auto& [node, local] : earlier) {
            table.refill(node, local);
            expected[node] = local;
        }
        for (int i = 0; i < 100; ++i) {
            const auto node = static_cast<std::int64_t>(draw() % 300);
            const auto probe = table.find(node);
            const auto [entry, is_new] = expected.try_emplace(node, list_size);
            if (probe.found() == is_new || (probe.found() && probe.local != entry->second)) {
                return false;
            }
            if (is_new) {
                table.insert(probe, node, list_size++);
                earlier.emplace_back(node, entry->second);
            }
        }
    }
    return true;
}

// A book admits as a map from (batch, node) to first position does, seeds
// first, whether its trees come in order, or so often out of order that it
// moves to the index of the whole call midway; and again after clearing.
bool books_admit_as_a_map_in_any_tree_order() {
    std::mt19937_64 draw(5);
    NodeBook book;
    for (int call = 0; call < 4; ++call) {
        const bool in_order = call % 2 == 0;
        std::vector<std::int64_t> seeds(50);
        for (auto& seed : seeds) {
            seed = static_cast<std::int64_t>(draw() % 30);
        }
        book.enter_seeds(seeds.data(), seeds.size());
        std::map<std::pair<std::int64_t, std::int64_t>, std::int64_t> expected;
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            expected[{static_cast<std::int64_t>(i), seeds[i]}] = static_cast<std::int64_t>(i);
        }
        for (int i = 0; i < 20000; ++i) {
            const auto batch = static_cast<std::int64_t>(in_order ? i * 50 / 20000 : draw() % 50);
            const SampledNode key{batch, static_cast<std::int64_t>(draw() % 60)};
            const auto [entry, is_new] =
                expected.try_emplace({key.batch, key.node}, static_cast<std::int64_t>(book.size()));
            if (book.admit(key) != entry->second) {
                return false;
            }
        }
        if (book.indexes_by_tree() != in_order) {
            return false;
        }
        book.clear();
    }
    return true;
}

// Locals that a fresh book gives for `keys`, one seed (node 0 of batch 0) first.
std::vector<std::int64_t> admit_all(NodeBook& book, const std::vector<SampledNode>& keys) {
    const std::int64_t seed = 0;
    book.enter_seeds(&seed, 1);
    std::vector<std::int64_t> locals;
    for (const SampledNode& key : keys) {
        locals.push_back(book.admit(key));
    }
    return locals;
}

// An append or a table doubling that fails leaves the book answering as
// before: the next call, after clearing, admits as a fresh book does. The
// first, second and third allocation of every admission (list, run heads and
// table growth alike) is made to fail in turn; returns how many did, or -1
// when one left the book unsound.
int failed_allocations_leave_the_book_sound() {
    std::vector<SampledNode> keys;
    for (std::int64_t node = 1; node <= 100; ++node) {
        keys.push_back(SampledNode{0, node});
        keys.push_back(SampledNode{0, (node * 37) % 100 + 1});  // repeats
    }
    NodeBook fresh;
    const std::vector<std::int64_t> expected = admit_all(fresh, keys);

    int failed = 0;
    for (int skipped = 0; skipped < 3; ++skipped) {
        for (std::size_t failing = 0; failing < keys.size(); ++failing) {
            NodeBook book;
            const std::int64_t seed = 0;
            book.enter_seeds(&seed, 1);
            for (std::size_t i = 0; i < failing; ++i) {
                book.admit(keys[i]);
            }
            allocations_before_failure = skipped;
            try {
                book.admit(keys[failing]);
            } catch (const std::bad_alloc&) {
                ++failed;
            }
            allocations_before_failure = -1;
            book.clear();
            if (admit_all(book, keys) != expected) {
                return -1;
            }
        }
    }
    return failed;
}

// A failed append to the taken list leaves no offset marked for the next
// selection.
bool failed_take_leaves_nothing_marked() {
    corvane::SelectionScratch scratch;
    {
        corvane::TakenSet taken(1000, 100, scratch);
        allocations_before_failure = 0;
        try {
            taken.take(5);
        } catch (const std::bad_alloc&) {
        }
    }
    corvane::TakenSet taken(1000, 100, scratch);
    return taken.take(5);
}

// Each form of the taken set (scanned, bytes, hashed: chosen by the number of
// candidates and k) answers as a set does, also in a second selection over
// the same scratch, which must find nothing left of the first.
bool taken_forms_answer_as_a_set() {
    struct Form {
        std::int64_t candidates;
        std::int64_t k;
    };
    std::mt19937 generator(7);
    corvane::SelectionScratch scratch;
    for (const Form form : {Form{64, 32}, Form{1000, 100}, Form{200000, 100}}) {
        for (int selection = 0; selection < 2; ++selection) {
            corvane::TakenSet taken(form.candidates, form.k, scratch);
            std::set<std::int64_t> expected;
            // Offsets from a range of k, so that every take repeats some.
            std::uniform_int_distribution<std::int64_t> offset(0, form.k - 1);
            for (int draw = 0; draw < 3 * form.k; ++draw) {
                const std::int64_t value = offset(generator);
                if (taken.take(value) != expected.insert(value).second) {
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace

// After a large call, small ones get a small table again, one that still
// answers as an empty index should; a failed allocation keeps the large one.
bool small_calls_after_a_large_one_get_a_small_table() {
    corvane::NodeIndex index;
    std::vector<SampledNode> nodes;
    const auto admit_new = [&](SampledNode key) {
        const auto probe = index.find(key, nodes);
        if (probe.found()) {
            return false;
        }
        nodes.push_back(key);
        index.insert(probe, key, static_cast<std::int64_t>(nodes.size() - 1), nodes);
        return true;
    };
    for (std::int64_t i = 0; i < 100000; ++i) {
        admit_new(SampledNode{i % 7, i});
    }
    const std::size_t large = index.capacity();
    index.clear(nodes.size());  // the large call's own table stays
    nodes.clear();
    // Calls with no entries at all: the table stays for seven of them, and
    // the eighth fails to allocate the small one.
    for (int call = 0; call < 7; ++call) {
        index.clear(0);
    }
    allocations_before_failure = 0;
    index.clear(0);
    allocations_before_failure = -1;
    const bool kept_when_allocation_failed = index.capacity() == large;
    for (int call = 0; call < 8; ++call) {
        index.clear(0);
    }
    const bool shrunk = index.capacity() * 100 < large;
    // Keys of the large call are gone, and new ones enter once.
    bool answers = true;
    for (std::int64_t i = 0; i < 10; ++i) {
        answers = answers && admit_new(SampledNode{i % 7, i}) && !admit_new(SampledNode{i % 7, i});
    }
    return kept_when_allocation_failed && shrunk && answers;
}

// The engine's vector regeneration and batch tempering give std::mt19937's
// outputs, over many regenerations and for seeds whose words exercise every
// lane and both halves of the state.
bool engine_matches_std_mt19937() {
    for (const std::uint32_t seed : {0U, 1U, 123U, 5489U, 2147483648U, 4294967295U}) {
        std::mt19937 expected(seed);
        corvane::RandomEngine engine;
        engine.seed(seed);
        for (int draw = 0; draw < 20000; ++draw) {
            if (engine.draw() != static_cast<std::uint32_t>(expected())) {
                return false;
            }
        }
    }
    return true;
}

int main() {
    bool all_passed = true;
    const auto report = [&all_passed](const char* name, bool passed) {
        std::cout << name << (passed ? " pass" : " fail") << '\n';
        all_passed = all_passed && passed;
    };
    report("colliding_hash_matches_a_map", colliding_hash_matches_a_map());
    report("colliding_tree_table_matches_a_map", colliding_tree_table_matches_a_map());
    report("books_admit_as_a_map_in_any_tree_order", books_admit_as_a_map_in_any_tree_order());
    // Seven list growths (to 2 ... 128 nodes); with them, the tree table's
    // first allocation and run heads (the first admission) and its two
    // doublings, each at two allocations.
    report("failed_allocations_leave_the_book_sound",
           failed_allocations_leave_the_book_sound() >= 13);
    report("failed_take_leaves_nothing_marked", failed_take_leaves_nothing_marked());
    report("taken_forms_answer_as_a_set", taken_forms_answer_as_a_set());
    report("engine_matches_std_mt19937", engine_matches_std_mt19937());
    report("small_calls_after_a_large_one_get_a_small_table",
           small_calls_after_a_large_one_get_a_small_table());
    return all_passed ? 0 : 1;
}
