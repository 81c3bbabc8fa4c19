// The errors of the store of restore points.
//
// StoreError: the store cannot do what was asked (a folder that is no store, a damaged
// file, a missing point, a failed write). Its what() is the message alone, in words for the
// operator; the function and line that raised it are kept apart for a developer's log.
// Throw it with ZENTRAD_THROW(StoreError, message), which fills those in.
//
// UsageError: a value the operator gave is wrong (an agent's name, a number, a duration);
// the tool prints it with the command's usage.
#pragma once

#include <stdexcept>
#include <string>

#include "runtime/Exceptions.h"  // ZENTRAD_THROW

namespace backup_server {

class StoreError : public std::runtime_error {
  public:
    StoreError(std::string message, std::string function, int line)
        : std::runtime_error(message),
          message_(std::move(message)),
          function_(std::move(function)),
          line_(line) {}

    const std::string& message() const noexcept { return message_; }
    const std::string& function() const noexcept { return function_; }
    int line() const noexcept { return line_; }

  private:
    std::string message_;
    std::string function_;
    int line_;
};

// An error's words for the operator: the message alone, without the function and line that
// raised it (StoreError, the agent's exceptions and the object layer's keep those apart).
inline std::string operatorMessage(const std::exception& error) {
    if (const auto* store = dynamic_cast<const StoreError*>(&error))
        return store->message();
    if (const auto* located = dynamic_cast<const runtime::LocatedException*>(&error))
        return located->message();
    return error.what();
}

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace backup_server
