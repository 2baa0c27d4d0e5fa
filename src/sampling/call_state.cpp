#include "sampling/call_state.h"

namespace corvane {

void CallState::reset() {
    for (auto& [node_type, book] : books) {
        book.clear();
    }
    frontier.clear();
    seed_times.clear();
}

}  // namespace corvane
