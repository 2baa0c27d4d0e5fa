#pragma once

#include <cstdint>

namespace corvane {

// Ends the call with the Python exception of a pending signal (Ctrl-C's
// KeyboardInterrupt, or whatever its handler raises), if there is one. Needs
// the GIL, which a sample call holds throughout.
void throw_if_interrupted();

// Asks for pending signals after every kInterval units of work (admitted
// neighbours, drawn offsets), so that a call of any size can be interrupted
// within a few milliseconds. Work is charged per chunk of frontier nodes,
// as the sizes of their columns, so the per-neighbour loops stay free of it;
// only a column or selection longer than kInterval is charged in pieces as
// it goes. An interrupted call leaves the
// sampler as any failed call does: draws taken stay taken, and nothing of
// the call is seen later.
class SignalPoll {
public:
    static constexpr std::int64_t kInterval = 1 << 16;

    void after(std::int64_t work) {
        budget_ -= work;
        if (budget_ < 0) {
            budget_ = kInterval;
            throw_if_interrupted();
        }
    }

private:
    std::int64_t budget_ = kInterval;
};

}  // namespace corvane
