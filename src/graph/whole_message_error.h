#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace corvane {

// Errors whose message names something the caller chose (a node type, an
// edge-type key, an entity table). Such a name may hold a NUL byte, where
// what() would end, or bytes that are not UTF-8; message() keeps every byte,
// and the binding turns it into Python text with those bytes escaped.
class RuntimeFailure : public std::runtime_error {
public:
    explicit RuntimeFailure(std::string message)
        : std::runtime_error(message), message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// The same for failures Python reports as IndexError.
class IndexFailure : public std::out_of_range {
public:
    explicit IndexFailure(std::string message)
        : std::out_of_range(message), message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

}  // namespace corvane
