#include "sampling/node_index.h"

#include <algorithm>

namespace corvane {

namespace {

constexpr std::size_t kInitialCapacity = 64;

constexpr int kBits = 64;

// Bases stay below this, so that base + local index cannot overflow for any
// index a list can reach.
constexpr std::int64_t kBaseLimit = std::int64_t{1} << 62;

int log2_of(std::size_t power_of_two) {
    int bits = 0;
    while ((std::size_t{1} << bits) < power_of_two) {
        ++bits;
    }
    return bits;
}

}  // namespace

NodeIndex::NodeIndex()
    : slots_(kInitialCapacity, Slot{0, kEmpty}),
      grow_above_(kInitialCapacity / 2),
      mask_(kInitialCapacity - 1),
      shift_(kBits - log2_of(kInitialCapacity)) {}

// Doubles the table, keeping it at most half full so that probe runs stay
// short. Only this call's slots move; the rest of the new table is free.
void NodeIndex::grow(const std::vector<SampledNode>& nodes) {
    std::vector<Slot> old(slots_.size() * 2, Slot{0, kEmpty});
    old.swap(slots_);
    grow_above_ = slots_.size() / 2;
    mask_ = slots_.size() - 1;
    shift_ = kBits - log2_of(slots_.size());
    for (const Slot& slot : old) {
        if (!in_use(slot)) {
            continue;
        }
        const SampledNode& key = nodes[static_cast<std::size_t>(slot.local - base_)];
        std::size_t at = home_of(key);
        while (in_use(slots_[at])) {
            at = (at + 1) & mask_;
        }
        slots_[at] = slot;
    }
}

void NodeIndex::clear(std::size_t list_size) {
    count_ = 0;
    base_ += static_cast<std::int64_t>(list_size);
    if (base_ >= kBaseLimit) {
        // After very many calls: free every slot once and start again at 0.
        std::fill(slots_.begin(), slots_.end(), Slot{0, kEmpty});
        base_ = 0;
    }
}

}  // namespace corvane
