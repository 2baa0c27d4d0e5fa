#include "sampling/taken_set.h"

#include <algorithm>
#include <cstddef>

namespace corvane {

namespace {

constexpr std::int64_t kFree = -1;  // offsets are never negative

std::size_t power_of_two_at_least(std::size_t value) {
    std::size_t power = 1;
    while (power < value) {
        power <<= 1;
    }
    return power;
}

std::size_t hash_offset(std::int64_t offset) {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(offset) * 0x9e3779b97f4a7c15ULL >> 20);
}

}  // namespace

TakenSet::TakenSet(std::int64_t candidates, std::int64_t k, SelectionScratch& scratch)
    : scratch_(scratch) {
    scratch_.taken.clear();
    if (k <= kScanLimit) {
        form_ = Form::kScan;
    } else if (candidates < kLargeRange) {
        form_ = Form::kBytes;
        if (scratch_.taken_bytes.size() < static_cast<std::size_t>(candidates)) {
            scratch_.taken_bytes.resize(static_cast<std::size_t>(candidates), 0);
        }
    } else {
        form_ = Form::kHashed;
        const std::size_t slots = power_of_two_at_least(static_cast<std::size_t>(k) * 2);
        if (scratch_.taken_slots.size() < slots) {
            scratch_.taken_slots.assign(slots, kFree);
        }
        hash_mask_ = slots - 1;
    }
}

TakenSet::~TakenSet() {
    if (form_ == Form::kBytes) {
        for (const std::int64_t offset : scratch_.taken) {
            scratch_.taken_bytes[static_cast<std::size_t>(offset)] = 0;
        }
    } else if (form_ == Form::kHashed) {
        std::fill(scratch_.taken_slots.begin(),
                  scratch_.taken_slots.begin() + static_cast<std::ptrdiff_t>(hash_mask_ + 1), kFree);
    }
}

bool TakenSet::take(std::int64_t offset) {
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

bool TakenSet::take_scanned(std::int64_t offset) {
    const auto end = scanned_.begin() + static_cast<std::ptrdiff_t>(count_);
    if (std::find(scanned_.begin(), end, offset) != end) {
        return false;
    }
    scanned_[count_++] = offset;
    return true;
}

bool TakenSet::take_byte(std::int64_t offset) {
    std::uint8_t& byte = scratch_.taken_bytes[static_cast<std::size_t>(offset)];
    if (byte != 0) {
        return false;
    }
    byte = 1;
    scratch_.taken.push_back(offset);
    return true;
}

bool TakenSet::take_hashed(std::int64_t offset) {
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
