#include "sampling/node_book.h"

namespace corvane {

void NodeBook::clear() {
    local_index_.clear(nodes_.size());
    nodes_.clear();
    seed_count_ = 0;
}

}  // namespace corvane
