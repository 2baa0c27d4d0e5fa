#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sampling/selection_scratch.h"

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
    static constexpr std::int64_t kFree = -1;  // offsets are never negative

    static std::size_t hash_offset(std::int64_t offset) {
        return static_cast<std::size_t>(
            static_cast<std::uint64_t>(offset) * 0x9e3779b97f4a7c15ULL >> 20);
    }

    bool take_scanned(std::int64_t offset);
    bool take_byte(std::int64_t offset);
    bool take_hashed(std::int64_t offset);

    Form form_;
    std::array<std::int64_t, kScanLimit> scanned_{};
    std::size_t count_ = 0;
    SelectionScratch& scratch_;
    std::size_t hash_mask_ = 0;
};

// Defined here: one call per draw.

inline bool TakenSet::take(std::int64_t offset) {
    switch (form_) {
        case Form::kScan:
            return take_scanned(offset);
        case Form::kBytes:
            return take_byte(offset);
        case Form::kHashed:
            return take_hashed(offset);
    }
    return false;
}

inline bool TakenSet::take_scanned(std::int64_t offset) {
    const auto end = scanned_.begin() + static_cast<std::ptrdiff_t>(count_);
    if (std::find(scanned_.begin(), end, offset) != end) {
        return false;
    }
    scanned_[count_++] = offset;
    return true;
}

inline bool TakenSet::take_byte(std::int64_t offset) {
    std::uint8_t& byte = scratch_.taken_bytes[static_cast<std::size_t>(offset)];
    if (byte != 0) {
        return false;
    }
    scratch_.taken.push_back(offset);  // first: unmarked at the end only if listed
    byte = 1;
    return true;
}

inline bool TakenSet::take_hashed(std::int64_t offset) {
    for (std::size_t at = hash_offset(offset) & hash_mask_;; at = (at + 1) & hash_mask_) {
        std::int64_t& slot = scratch_.taken_slots[at];
        if (slot == offset) {
            return false;
        }
        if (slot == kFree) {
            slot = offset;
            return true;
        }
    }
}

}  // namespace corvane
