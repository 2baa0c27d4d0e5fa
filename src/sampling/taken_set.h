#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace corvane {

// The offsets already chosen while sampling k of n candidates. Small ranges
// use one byte per candidate; from kLargeRange candidates on, a hash set of
// the chosen offsets keeps memory proportional to k rather than n. Both
// answer identically.
class TakenSet {
public:
    static constexpr std::int64_t kLargeRange = 100000;

    explicit TakenSet(std::int64_t candidates);

    // Marks `offset` as taken; false if it already was.
    bool take(std::int64_t offset);

private:
    bool use_bytes_;
    std::vector<std::uint8_t> bytes_;
    std::unordered_set<std::int64_t> offsets_;
};

}  // namespace corvane
