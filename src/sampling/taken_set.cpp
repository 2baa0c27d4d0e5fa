#include "sampling/taken_set.h"

#include <algorithm>
#include <cstddef>

namespace corvane {

namespace {

std::size_t power_of_two_at_least(std::size_t value) {
    std::size_t power = 1;
    while (power < value) {
        power <<= 1;
    }
    return power;
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
            scratch_.taken_slots.assign(slots, TakenSet::kFree);
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
                  scratch_.taken_slots.begin() + static_cast<std::ptrdiff_t>(hash_mask_ + 1),
                  TakenSet::kFree);
    }
}

}  // namespace corvane
