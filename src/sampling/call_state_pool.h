#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "sampling/call_state.h"

namespace corvane {

// Call states handed on from samplers that are destroyed to samplers that are
// built.
//
// A sampler's call state grows to what its calls need (node lists,
// de-duplication tables, edge lists, selection scratch) and keeps that
// storage for its next call. A sampler built for one batch and dropped after
// it would instead allocate all of it, fault every page in and free it again
// on every batch: 2.9x a long-lived sampler's call (1,024 seeds, fan-out
// [15, 10], bench/toolkit.py's user/item graph). The pool keeps the states of
// destroyed samplers and gives them to the next ones built, so a sampler per
// batch calls on storage as warm as a long-lived sampler's.
//
// Which state a sampler gets never shows in what its calls return: every
// call starts by emptying its state (start_call), a de-duplication index
// counts the slots of earlier calls as free, the selection scratch is clear
// between selections, and take() starts the signal poll anew, as a new
// state's is.
//
// Bounded: at most `max_states` states and `max_bytes` bytes of their storage
// are kept; a state given back beyond either bound is freed instead.
// Thread-safe: a mutex guards the kept states. Every caller also holds the
// GIL and never releases it in between, so a fork never finds it locked.
class CallStatePool {
public:
    CallStatePool(std::size_t max_states, std::size_t max_bytes);

    // The state given back last, or a new one when none is kept.
    std::unique_ptr<CallState> take();

    // Keeps `state` for a later take(), within the bounds; frees it otherwise,
    // and always when a call on it is still running.
    void give_back(std::unique_ptr<CallState> state) noexcept;

    std::size_t kept_states() const;

    // The pool that samplers share: a few states, 128 MiB in all.
    static CallStatePool& process();

private:
    struct Kept {
        std::unique_ptr<CallState> state;
        std::size_t bytes;
    };

    const std::size_t max_states_;
    const std::size_t max_bytes_;
    mutable std::mutex mutex_;
    std::vector<Kept> kept_;  // room for max_states_ reserved: keeping allocates nothing
    std::size_t kept_bytes_ = 0;
};

// The bytes that the lists and tables of `state` hold, used or not.
std::size_t storage_bytes(const CallState& state);

// A sampler's call state: taken from the process's pool when the sampler is
// built, given back when it is destroyed.
class PooledCallState {
public:
    PooledCallState() : state_(CallStatePool::process().take()) {}
    ~PooledCallState() { CallStatePool::process().give_back(std::move(state_)); }
    PooledCallState(const PooledCallState&) = delete;
    PooledCallState& operator=(const PooledCallState&) = delete;

    CallState& operator*() const { return *state_; }

private:
    std::unique_ptr<CallState> state_;
};

}  // namespace corvane
