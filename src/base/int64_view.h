#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

// A read-only run of contiguous native int64 values together with its length,
// so that every read can be checked against the end of the array.
struct Int64View {
    const std::int64_t* data = nullptr;
    std::size_t size = 0;

    bool contains_index(std::int64_t index) const {
        return index >= 0 && static_cast<std::uint64_t>(index) < size;
    }
    std::int64_t operator[](std::int64_t index) const { return data[index]; }
    std::int64_t length() const { return static_cast<std::int64_t>(size); }
};

}  // namespace corvane
