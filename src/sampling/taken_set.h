#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sampling/call_state.h"

namespace corvane {

// The offsets already taken while choosing k of n candidates. Which form it
// takes only changes speed and memory, never an answer: a few offsets are
// scanned in place; up to kLargeRange candidates use a byte per candidate
// kept zeroed between selections; larger ranges hash the taken offsets, so
// memory follows k rather than n. Everything it marks is unmarked when it is
// destroyed, so the shared scratch stays clear for the next selection.
class TakenSet {
public:
    static constexpr std::int64_t kLargeRange = 100000;
    static constexpr std::int64_t kScanLimit = 32;

    TakenSet(std::int64_t candidates, std::int64_t k, SelectionScratch& scratch);
    ~TakenSet();
    TakenSet(const TakenSet&) = delete;
    TakenSet& operator=(const TakenSet&) = delete;

    // Marks `offset` as taken; false if it already was.
    bool take(std::int64_t offset);

private:
    enum class Form { kScan, kBytes, kHashed };

    bool take_scanned(std::int64_t offset);
    bool take_byte(std::int64_t offset);
    bool take_hashed(std::int64_t offset);

    Form form_;
    std::array<std::int64_t, kScanLimit> scanned_{};
    std::size_t count_ = 0;
    SelectionScratch& scratch_;
    std::size_t hash_mask_ = 0;
};

}  // namespace corvane
