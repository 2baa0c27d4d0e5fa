#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/prefetch.h"

namespace corvane {

// De-duplication index of one node type within one call: (batch, node) to
// local index. Open addressing with linear probing over one flat array, so an
// insertion allocates nothing except when the table doubles.
//
// Slots store the batch shifted by a base that moves past every batch used
// so far whenever the index is cleared; a slot whose stored batch lies below
// the base belongs to an earlier call and counts as free. Clearing thus
// writes nothing, and the table is reused from call to call.
class NodeIndex {
public:
    NodeIndex();

    // The local index stored for (batch, node), inserting `next_local` when
    // the pair is new; `inserted` tells which happened.
    std::int64_t find_or_insert(std::int64_t batch, std::int64_t node, std::int64_t next_local,
                                bool& inserted);

    // Asks for the cache line where (batch, node) would be found.
    void prefetch(std::int64_t batch, std::int64_t node) const {
        prefetch_line(slots_.data() + home_of(batch, node));
    }

    // Empties the index but keeps its table, so that the next call of a
    // sampler reuses it.
    void clear();

private:
    struct Slot {
        std::int64_t batch;  // base_ + batch; below base_: free
        std::int64_t node;
        std::int64_t local;
    };
    static constexpr std::int64_t kEmpty = -1;  // below every base

    std::size_t home_of(std::int64_t batch, std::int64_t node) const;
    bool in_use(const Slot& slot) const { return slot.batch >= base_; }
    void grow();

    std::vector<Slot> slots_;
    std::size_t count_ = 0;       // slots in use
    std::size_t grow_above_ = 0;  // half the slots: more in use doubles the table
    std::int64_t base_ = 0;       // added to every batch stored by this call
    std::int64_t next_base_ = 0;  // above every batch stored by this call
    std::size_t mask_ = 0;
    int shift_ = 0;  // 64 - log2(slot count): keeps the hash's top bits
};

// Defined here: one look-up per admitted neighbour.

// Multiplicative hashing: the high bits of the product depend on every bit
// of both halves of the key, and cost two multiplications.
inline std::size_t NodeIndex::home_of(std::int64_t batch, std::int64_t node) const {
    const std::uint64_t key = static_cast<std::uint64_t>(node) * 0x9e3779b97f4a7c15ULL +
                              static_cast<std::uint64_t>(batch);
    return static_cast<std::size_t>((key * 0xd6e8feb86659fd93ULL) >> shift_);
}

inline std::int64_t NodeIndex::find_or_insert(std::int64_t batch, std::int64_t node,
                                              std::int64_t next_local, bool& inserted) {
    const std::int64_t stored = base_ + batch;
    for (std::size_t at = home_of(batch, node);; at = (at + 1) & mask_) {
        Slot& slot = slots_[at];
        if (slot.batch == stored && slot.node == node) {
            inserted = false;
            return slot.local;
        }
        if (!in_use(slot)) {
            slot = Slot{stored, node, next_local};
            next_base_ = std::max(next_base_, stored + 1);
            inserted = true;
            if (++count_ > grow_above_) {
                grow();
            }
            return next_local;
        }
    }
}

}  // namespace corvane
