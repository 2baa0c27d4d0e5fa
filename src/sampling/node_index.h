#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

// De-duplication index of one node type within one call: (batch, node) to
// local index. Open addressing with linear probing over one flat array, so an
// insertion allocates nothing except when the table doubles.
class NodeIndex {
public:
    NodeIndex();

    // The local index stored for (batch, node), inserting `next_local` when
    // the pair is new; `inserted` tells which happened.
    std::int64_t find_or_insert(std::int64_t batch, std::int64_t node, std::int64_t next_local,
                                bool& inserted);

    // Asks for the cache line where (batch, node) would be found.
    void prefetch(std::int64_t batch, std::int64_t node) const {
        __builtin_prefetch(slots_.data() + home_of(batch, node));
    }

    // Empties the index but keeps its table, so that the next call of a
    // sampler reuses it; only the slots in use are reset.
    void clear();

private:
    struct Slot {
        std::int64_t batch;  // kEmpty: unused (batches are never negative)
        std::int64_t node;
        std::int64_t local;
    };
    static constexpr std::int64_t kEmpty = -1;

    std::size_t home_of(std::int64_t batch, std::int64_t node) const;
    void grow();

    std::vector<Slot> slots_;
    std::vector<std::size_t> occupied_;  // positions in use, for clear()
    std::size_t mask_ = 0;
    int shift_ = 0;  // 64 - log2(slot count): keeps the hash's top bits
};

}  // namespace corvane
