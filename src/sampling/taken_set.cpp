#include "sampling/taken_set.h"

#include <cstddef>

namespace corvane {

TakenSet::TakenSet(std::int64_t candidates) : use_bytes_(candidates < kLargeRange) {
    if (use_bytes_) {
        bytes_.assign(static_cast<std::size_t>(candidates), 0);
    }
}

bool TakenSet::take(std::int64_t offset) {
    if (!use_bytes_) {
        return offsets_.insert(offset).second;
    }
    std::uint8_t& byte = bytes_[static_cast<std::size_t>(offset)];
    if (byte != 0) {
        return false;
    }
    byte = 1;
    return true;
}

}  // namespace corvane
