#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace corvane {

// An error whose message names something the caller chose (a node type, an
// edge-type key, an entity table). Such a name may hold a NUL byte, where
// what() would end, or bytes that are not UTF-8; message() keeps every byte,
// and the binding turns it into Python text with those bytes escaped.
template <class StandardError>
class WholeMessageError : public StandardError {
public:
    explicit WholeMessageError(std::string message)
        : StandardError(message), message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Reported to Python as RuntimeError and as IndexError.
using RuntimeFailure = WholeMessageError<std::runtime_error>;
using IndexFailure = WholeMessageError<std::out_of_range>;

}  // namespace corvane
