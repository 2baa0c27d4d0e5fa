#include "sampling/call_state.h"

namespace corvane {

void CallState::reset(std::size_t node_types) {
    books.resize(node_types);
    for (NodeBook& book : books) {
        book.clear();
    }
    frontiers.assign(node_types, FrontierRange{});
    seed_times.clear();
}

}  // namespace corvane
