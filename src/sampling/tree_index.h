#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/always_inline.h"
#include "sampling/node_hash.h"
#include "sampling/sampled_node.h"

namespace corvane {

// De-duplication table of one tree (the nodes of one seed's batch) of one
// node type: node id to local index. A node book keeps one and moves it from
// tree to tree: opening a tree empties it and enters that tree's earlier
// nodes again, which lie in a few runs of the book's list. A tree holds few
// nodes, so its table stays in the caches; a single table for every tree of
// a call (BasicNodeIndex) grows to megabytes, and each admission then waits
// for its slot from memory.
//
// Open addressing with linear probing over 16-byte slots (node id and local
// index), sized when the tree opens to a power of two of at least four times
// the entries expected and at least kLeastSlots: probes then mostly end at
// their first slot (at twice, and 16 slots at least, collisions made hub
// calls of 10 admissions per tree 10-15% slower than one index of the whole
// call). A tree that outgrows the expectation doubles the table at half full. Slots store base +
// local index, and opening a tree moves the base past every local index stored so far: a slot whose
// value lies below the base belongs to an earlier tree and counts as free,
// so emptying writes nothing.
//
// `Hash` is the keyed hash of the call-wide index, so that ids chosen to
// collide cannot be found without its key; it decides only where entries
// are kept. Bases stay below `kBaseLimit`; tests lower it to reach the wrap.
template <class Hash, std::int64_t kBaseLimit = std::int64_t{1} << 62>
class BasicTreeIndex {
public:
    // Where a look-up ended: the node's local index, or the free slot that
    // insert() fills.
    struct Probe {
        std::size_t at;
        std::int64_t local;  // -1: not in the table
        bool found() const { return local >= 0; }
    };

    // Expected entries beyond this many do not size the table; growth does.
    static constexpr std::size_t kMostExpected = std::size_t{1} << 14;

    explicit BasicTreeIndex(Hash hash = Hash()) : hash_(hash) {}

    // Empties the table for the tree of `batch`, sized for `entries`. `list_size` lies above every
    // local index stored.
    void open(std::int64_t batch, std::size_t entries, std::size_t list_size);

    // Enters one of the tree's earlier nodes (distinct from every entry).
    void refill(std::int64_t node, std::int64_t local) {
        std::size_t at = home_of(node);
        while (in_use(slots_[at])) {
            at = (at + 1) & mask_;
        }
        slots_[at] = Slot{node, base_ + local};
        ++count_;
    }

    Probe find(std::int64_t node) const;

    // Enters `node` at the slot `probe` found free, as local index `local`,
    // the highest one stored yet.
    void insert(Probe probe, std::int64_t node, std::int64_t local);

    // At the end of a call: moves the base past every local index stored
    // (`list_size` lies above them) and gives back a table that a large tree
    // grew beyond what any expectation sizes.
    void clear(std::size_t list_size) noexcept;

    std::size_t capacity() const { return mask_ + 1; }
    std::size_t storage_bytes() const {
        return (slots_.capacity() + moving_.capacity()) * sizeof(Slot);
    }

private:
    struct Slot {
        std::int64_t node;
        std::int64_t local;  // base_ + local index; below base_: free
    };
    static constexpr std::int64_t kEmpty = -1;  // below every base
    static constexpr std::size_t kLeastSlots = 64;

    std::size_t home_of(std::int64_t node) const {
        return static_cast<std::size_t>(hash_(SampledNode{batch_, node}) >> shift_);
    }
    bool in_use(const Slot& slot) const { return slot.local >= base_; }
    void advance_base(std::size_t list_size) noexcept;
    CORVANE_ALWAYS_INLINE void use_slots(std::size_t slots);
    void allocate_slots(std::size_t slots);
    void grow(std::size_t list_size);

    Hash hash_;
    std::vector<Slot> slots_;   // the first capacity() are in use
    std::vector<Slot> moving_;  // a growing table's entries
    std::int64_t batch_ = 0;
    std::size_t count_ = 0;
    std::size_t grow_above_ = 0;
    std::size_t mask_ = 0;
    int shift_ = 64;
    std::int64_t base_ = 0;
};

using TreeIndex = BasicTreeIndex<KeyedNodeHash>;

// Defined here: one look-up per admitted neighbour.

template <class Hash, std::int64_t kBaseLimit>
inline void BasicTreeIndex<Hash, kBaseLimit>::advance_base(std::size_t list_size) noexcept {
    base_ += static_cast<std::int64_t>(list_size);
    if (__builtin_expect(base_ >= kBaseLimit, 0)) {
        // After very many trees: free every slot once and start again at 0.
        std::fill(slots_.begin(), slots_.end(), Slot{0, kEmpty});
        base_ = 0;
    }
}

// Uses the first `slots` slots (a power of two), allocating them if the table
// has fewer; should that fail, the table stays as it was.
template <class Hash, std::int64_t kBaseLimit>
void BasicTreeIndex<Hash, kBaseLimit>::allocate_slots(std::size_t slots) {
    slots_.resize(slots, Slot{0, kEmpty});
}

template <class Hash, std::int64_t kBaseLimit>
CORVANE_ALWAYS_INLINE void BasicTreeIndex<Hash, kBaseLimit>::use_slots(std::size_t slots) {
    if (slots_.size() < slots) {
        allocate_slots(slots);
    }
    mask_ = slots - 1;
    grow_above_ = slots / 2;
    shift_ = __builtin_clzll(static_cast<unsigned long long>(slots)) + 1;  // 64 - log2(slots)
}

template <class Hash, std::int64_t kBaseLimit>
CORVANE_ALWAYS_INLINE void BasicTreeIndex<Hash, kBaseLimit>::open(std::int64_t batch,
                                                                  std::size_t entries,
                                                                  std::size_t list_size) {
    advance_base(list_size);
    count_ = 0;
    batch_ = batch;
    // The least power of two of at least 4 * entries, and at least kLeastSlots.
    const std::size_t wanted = std::max(kLeastSlots, 4 * entries);
    use_slots(
        std::size_t{1} << (64 - __builtin_clzll(static_cast<unsigned long long>(wanted - 1))));
}

template <class Hash, std::int64_t kBaseLimit>
CORVANE_ALWAYS_INLINE typename BasicTreeIndex<Hash, kBaseLimit>::Probe
BasicTreeIndex<Hash, kBaseLimit>::find(std::int64_t node) const {
    for (std::size_t at = home_of(node);; at = (at + 1) & mask_) {
        const Slot& slot = slots_[at];
        if (!in_use(slot)) {
            return Probe{at, -1};
        }
        if (slot.node == node) {
            return Probe{at, slot.local - base_};
        }
    }
}

template <class Hash, std::int64_t kBaseLimit>
CORVANE_ALWAYS_INLINE void BasicTreeIndex<Hash, kBaseLimit>::insert(Probe probe, std::int64_t node,
                                                                    std::int64_t local) {
    slots_[probe.at] = Slot{node, base_ + local};
    if (++count_ > grow_above_) {
        grow(static_cast<std::size_t>(local) + 1);
    }
}

// Doubles the table: its entries are set aside, the base moves past them, and
// they enter the larger table again. Should an allocation fail, the table
// keeps its entries, just fuller.
template <class Hash, std::int64_t kBaseLimit>
void BasicTreeIndex<Hash, kBaseLimit>::grow(std::size_t list_size) {
    moving_.clear();
    for (std::size_t at = 0; at < capacity(); ++at) {
        if (in_use(slots_[at])) {
            moving_.push_back(Slot{slots_[at].node, slots_[at].local - base_});
        }
    }
    use_slots(2 * capacity());
    advance_base(list_size);
    count_ = 0;
    for (const Slot& entry : moving_) {
        refill(entry.node, entry.local);
    }
}

template <class Hash, std::int64_t kBaseLimit>
void BasicTreeIndex<Hash, kBaseLimit>::clear(std::size_t list_size) noexcept {
    advance_base(list_size);
    count_ = 0;
    if (slots_.size() > 4 * kMostExpected) {
        std::vector<Slot>().swap(slots_);
        std::vector<Slot>().swap(moving_);
        mask_ = 0;
        grow_above_ = 0;
    }
}

}  // namespace corvane
