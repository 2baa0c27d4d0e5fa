#pragma once

#include <cstdint>

#include "sampling/sampled_node.h"

namespace corvane {

// The two 64-bit words that key the node hash; drawn once per process.
struct HashKey {
    std::uint64_t first;
    std::uint64_t second;
};

// From the system's random source on first use, or, where it has none, from
// the clock and the addresses the process was given.
HashKey process_hash_key();

// The hash of the de-duplication index. Node ids come from the caller's
// data, which may come from anyone: a fixed hash lets ids be chosen so that
// they all share one home slot, and each insertion then walks past all the
// earlier ones. Keyed by secret words, the hash leaves no way to choose such
// ids without knowing the key. One full 64x64-bit product, with its two
// halves folded together, mixes every bit of both key-masked words into the
// top bits, which pick the home slot.
class KeyedNodeHash {
public:
    KeyedNodeHash() : key_(process_hash_key()) {}
    explicit KeyedNodeHash(HashKey key) : key_(key) {}

    std::uint64_t operator()(SampledNode node) const {
        const unsigned __int128 product =
            static_cast<unsigned __int128>(static_cast<std::uint64_t>(node.node) ^ key_.first) *
            (static_cast<std::uint64_t>(node.batch) ^ key_.second);
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    }

private:
    HashKey key_;
};

}  // namespace corvane
