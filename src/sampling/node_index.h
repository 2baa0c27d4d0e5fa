#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/prefetch.h"
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
class NodeIndex {
public:
    NodeIndex();

    // The local index of `key` in `nodes`, or `nodes.size()` when the list
    // does not hold it yet; then that index is entered for it, and the
    // caller appends `key` to the list.
    std::int64_t find_or_insert(SampledNode key, const std::vector<SampledNode>& nodes);

    // Keeps the table at most half full; call after appending an inserted
    // node to the list.
    void grow_if_needed(const std::vector<SampledNode>& nodes) {
        if (count_ > grow_above_) {
            grow(nodes);
        }
    }

    // Asks for the cache line where `key` would be found.
    void prefetch(SampledNode key) const { prefetch_line(slots_.data() + home_of(key)); }

    // Empties the index but keeps its table, so that the next call of a
    // sampler reuses it. `list_size`: the size the node list reached, above
    // every local index stored.
    void clear(std::size_t list_size);

private:
    struct Slot {
        std::int64_t node;
        std::int64_t local;  // base_ + local index; below base_: free
    };
    static constexpr std::int64_t kEmpty = -1;  // below every base

    std::size_t home_of(SampledNode key) const;
    bool in_use(const Slot& slot) const { return slot.local >= base_; }
    void grow(const std::vector<SampledNode>& nodes);

    std::vector<Slot> slots_;
    std::size_t count_ = 0;       // slots in use
    std::size_t grow_above_ = 0;  // half the slots: more in use doubles the table
    std::int64_t base_ = 0;  // added to every local index stored by this call
    std::size_t mask_ = 0;
    int shift_ = 0;  // 64 - log2(slot count): keeps the hash's top bits
};

// Defined here: one look-up per admitted neighbour.

// Multiplicative hashing: the high bits of the product depend on every bit
// of both halves of the key, and cost two multiplications.
inline std::size_t NodeIndex::home_of(SampledNode key) const {
    const std::uint64_t mixed = static_cast<std::uint64_t>(key.node) * 0x9e3779b97f4a7c15ULL +
                                static_cast<std::uint64_t>(key.batch);
    return static_cast<std::size_t>((mixed * 0xd6e8feb86659fd93ULL) >> shift_);
}

inline std::int64_t NodeIndex::find_or_insert(SampledNode key,
                                              const std::vector<SampledNode>& nodes) {
    for (std::size_t at = home_of(key);; at = (at + 1) & mask_) {
        Slot& slot = slots_[at];
        if (!in_use(slot)) {
            const auto local = static_cast<std::int64_t>(nodes.size());
            slot = Slot{key.node, base_ + local};
            ++count_;
            return local;
        }
        if (slot.node == key.node) {
            const std::int64_t local = slot.local - base_;
            if (nodes[static_cast<std::size_t>(local)].batch == key.batch) {
                return local;
            }
        }
    }
}

}  // namespace corvane
