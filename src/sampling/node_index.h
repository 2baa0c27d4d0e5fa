#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "base/always_inline.h"
#include "base/prefetch.h"
#include "sampling/node_hash.h"
#include "sampling/sampled_node.h"

namespace corvane {

// De-duplication index of one node type within one call: (batch, node) to
// local index, over the list of nodes that the local indices point into.
// Open addressing with linear probing over one flat array of 16-byte slots
// (node id and local index; the batch is read from the list when the node
// id matches), so an insertion allocates nothing except when the table
// doubles.
//
// Slots store the local index shifted by a base that moves past every local
// index used so far whenever the index is cleared; a slot whose stored index
// lies below the base belongs to an earlier call and counts as free.
// Clearing thus writes nothing, and the table is reused from call to call.
//
// A look-up and the insertion after it are two steps, so that the caller
// appends to its list between them: a slot is written only for a node the
// list holds, and an allocation failure in the append leaves no trace here.
//
// `Hash` maps a key to 64 bits, of which the top ones choose the home slot;
// it decides only where keys are kept, never what a look-up answers. Bases
// stay below `kBaseLimit`, so that base + local index cannot overflow for any
// index a list can reach; tests lower it to reach the wrap.
template <class Hash, std::int64_t kBaseLimit = std::int64_t{1} << 62>
class BasicNodeIndex {
public:
    // Where a look-up ended: the key's local index, or the free slot that
    // insert() fills with it.
    struct Probe {
        std::size_t at;
        std::int64_t local;  // -1: not in the index
        bool found() const { return local >= 0; }
    };

    explicit BasicNodeIndex(Hash hash = Hash());

    Probe find(SampledNode key, const std::vector<SampledNode>& nodes) const;

    // Enters `key` at the slot `probe` found free, as local index `local`;
    // `nodes` already holds it there. The table doubles when more than half
    // full; should that allocation fail, the index stays as it was after the
    // entry, just fuller.
    void insert(Probe probe, SampledNode key, std::int64_t local,
                const std::vector<SampledNode>& nodes);

    // Asks for the cache line where `key` would be found.
    void prefetch(SampledNode key) const { prefetch_line(slots_.data() + home_of(key)); }

    // Empties the index but keeps its table, so that the next call of a
    // sampler reuses it, unless the table has been more than kShrinkFactor
    // times what each of the last kShrinkAfter calls needed: then a small one
    // replaces it, since a call's few entries spread over a table sized for
    // a much larger call would each miss the caches and the TLB. (Calls that
    // alternate between large and small keep the large table: growing it
    // back at every large call would cost more than the small calls gain.)
    // `list_size`: the size the node list reached, above every local index
    // stored.
    void clear(std::size_t list_size);

    // Slots in the table.
    std::size_t capacity() const { return slots_.size(); }
    std::size_t storage_bytes() const { return slots_.capacity() * sizeof(Slot); }

private:
    struct Slot {
        std::int64_t node;
        std::int64_t local;  // base_ + local index; below base_: free
    };
    static constexpr std::int64_t kEmpty = -1;  // below every base
    static constexpr std::size_t kInitialCapacity = 64;
    static constexpr std::size_t kShrinkFactor = 4;
    static constexpr int kShrinkAfter = 8;

    std::size_t home_of(SampledNode key) const {
        return static_cast<std::size_t>(hash_(key) >> shift_);
    }
    bool in_use(const Slot& slot) const { return slot.local >= base_; }
    void grow(const std::vector<SampledNode>& nodes);
    void shrink_for(std::size_t entries) noexcept;
    void set_capacity(std::size_t slots);

    Hash hash_;
    std::vector<Slot> slots_;
    std::size_t count_ = 0;       // slots in use
    std::size_t grow_above_ = 0;  // half the slots: more in use doubles the table
    std::int64_t base_ = 0;  // added to every local index stored by this call
    std::size_t mask_ = 0;
    int shift_ = 0;  // 64 - log2(slot count): keeps the hash's top bits
    int oversized_calls_ = 0;  // consecutive calls that needed far fewer slots
};

using NodeIndex = BasicNodeIndex<KeyedNodeHash>;

// Defined here: one look-up per admitted neighbour.

template <class Hash, std::int64_t kBaseLimit>
BasicNodeIndex<Hash, kBaseLimit>::BasicNodeIndex(Hash hash)
    : hash_(hash), slots_(kInitialCapacity, Slot{0, kEmpty}) {
    set_capacity(kInitialCapacity);
}

template <class Hash, std::int64_t kBaseLimit>
void BasicNodeIndex<Hash, kBaseLimit>::set_capacity(std::size_t slots) {
    grow_above_ = slots / 2;
    mask_ = slots - 1;
    int bits = 0;
    while ((std::size_t{1} << bits) < slots) {
        ++bits;
    }
    shift_ = 64 - bits;
}

template <class Hash, std::int64_t kBaseLimit>
CORVANE_ALWAYS_INLINE typename BasicNodeIndex<Hash, kBaseLimit>::Probe
BasicNodeIndex<Hash, kBaseLimit>::find(SampledNode key,
                                       const std::vector<SampledNode>& nodes) const {
    for (std::size_t at = home_of(key);; at = (at + 1) & mask_) {
        const Slot& slot = slots_[at];
        if (!in_use(slot)) {
            return Probe{at, -1};
        }
        if (slot.node == key.node) {
            const std::int64_t local = slot.local - base_;
            if (nodes[static_cast<std::size_t>(local)].batch == key.batch) {
                return Probe{at, local};
            }
        }
    }
}

template <class Hash, std::int64_t kBaseLimit>
CORVANE_ALWAYS_INLINE void BasicNodeIndex<Hash, kBaseLimit>::insert(
    Probe probe, SampledNode key, std::int64_t local, const std::vector<SampledNode>& nodes) {
    slots_[probe.at] = Slot{key.node, base_ + local};
    if (++count_ > grow_above_) {
        grow(nodes);
    }
}

// Doubles the table, keeping it at most half full so that probe runs stay
// short. Only this call's slots move; the rest of the new table is free.
template <class Hash, std::int64_t kBaseLimit>
void BasicNodeIndex<Hash, kBaseLimit>::grow(const std::vector<SampledNode>& nodes) {
    std::vector<Slot> old(slots_.size() * 2, Slot{0, kEmpty});
    old.swap(slots_);
    set_capacity(slots_.size());
    for (const Slot& slot : old) {
        if (!in_use(slot)) {
            continue;
        }
        std::size_t at = home_of(nodes[static_cast<std::size_t>(slot.local - base_)]);
        while (in_use(slots_[at])) {
            at = (at + 1) & mask_;
        }
        slots_[at] = slot;
    }
}

// A table with room for twice `entries` before it doubles, replacing the
// current one; should that allocation fail, the current one stays.
template <class Hash, std::int64_t kBaseLimit>
void BasicNodeIndex<Hash, kBaseLimit>::shrink_for(std::size_t entries) noexcept {
    std::size_t slots = kInitialCapacity;
    while (slots < 4 * entries) {
        slots *= 2;
    }
    try {
        std::vector<Slot> fresh(slots, Slot{0, kEmpty});
        slots_.swap(fresh);
    } catch (const std::bad_alloc&) {
        return;
    }
    set_capacity(slots);
    base_ = 0;  // every slot is free
}

template <class Hash, std::int64_t kBaseLimit>
void BasicNodeIndex<Hash, kBaseLimit>::clear(std::size_t list_size) {
    const std::size_t entries = count_;
    count_ = 0;
    base_ += static_cast<std::int64_t>(list_size);
    const bool oversized = slots_.size() > kShrinkFactor * std::max(kInitialCapacity, 4 * entries);
    oversized_calls_ = oversized ? oversized_calls_ + 1 : 0;
    if (oversized_calls_ >= kShrinkAfter) {
        oversized_calls_ = 0;
        shrink_for(entries);
        return;
    }
    if (base_ >= kBaseLimit) {
        // After very many calls: free every slot once and start again at 0.
        std::fill(slots_.begin(), slots_.end(), Slot{0, kEmpty});
        base_ = 0;
    }
}

}  // namespace corvane
