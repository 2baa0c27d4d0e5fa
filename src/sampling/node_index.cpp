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

// Multiplicative hashing: the high bits of the product depend on every bit
// of both halves of the key, and cost two multiplications.
std::size_t NodeIndex::home_of(std::int64_t batch, std::int64_t node) const {
    const std::uint64_t key = static_cast<std::uint64_t>(node) * 0x9e3779b97f4a7c15ULL +
                              static_cast<std::uint64_t>(batch);
    return static_cast<std::size_t>((key * 0xd6e8feb86659fd93ULL) >> shift_);
}

std::int64_t NodeIndex::find_or_insert(std::int64_t batch, std::int64_t node,
                                       std::int64_t next_local, bool& inserted) {
    for (std::size_t at = home_of(batch, node);; at = (at + 1) & mask_) {
        Slot& slot = slots_[at];
        if (slot.batch == batch && slot.node == node) {
            inserted = false;
            return slot.local;
        }
        if (slot.batch == kEmpty) {
            slot = Slot{batch, node, next_local};
            occupied_.push_back(at);
            inserted = true;
            if (occupied_.size() * 2 > slots_.size()) {
                grow();
            }
            return next_local;
        }
    }
}

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
