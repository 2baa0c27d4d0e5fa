#include "sampling/node_index.h"

namespace corvane {

namespace {

constexpr std::size_t kInitialCapacity = 64;

constexpr int kBits = 64;

int log2_of(std::size_t power_of_two) {
    int bits = 0;
    while ((std::size_t{1} << bits) < power_of_two) {
        ++bits;
    }
    return bits;
}

}  // namespace

NodeIndex::NodeIndex()
    : slots_(kInitialCapacity, Slot{kEmpty, 0, 0}),
      mask_(kInitialCapacity - 1),
      shift_(kBits - log2_of(kInitialCapacity)) {}

// Doubles the table, keeping it at most half full so that probe runs stay short.
void NodeIndex::grow() {
    std::vector<Slot> old(slots_.size() * 2, Slot{kEmpty, 0, 0});
    old.swap(slots_);
    mask_ = slots_.size() - 1;
    shift_ = kBits - log2_of(slots_.size());
    for (std::size_t& position : occupied_) {
        const Slot& slot = old[position];
        std::size_t at = home_of(slot.batch, slot.node);
        while (slots_[at].batch != kEmpty) {
            at = (at + 1) & mask_;
        }
        slots_[at] = slot;
        position = at;
    }
}

void NodeIndex::clear() {
    for (const std::size_t position : occupied_) {
        slots_[position].batch = kEmpty;
    }
    occupied_.clear();
}

}  // namespace corvane
