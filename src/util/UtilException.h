// The error of the small byte and file helpers in util, which sit below the agent's
// exception family. It formats its text the same way: message + " (" + function + ":" +
// line + ")", so a caller that lets it escape still logs a familiar line, and a caller that
// wants an agent exception can rethrow message() with its own location.
#pragma once

#include <stdexcept>
#include <string>

namespace util {

class UtilException : public std::runtime_error {
  public:
    UtilException(std::string message, const std::string& function, int line);
    const std::string& message() const noexcept { return message_; }

  private:
    std::string message_;
};

}  // namespace util

#define ZENTRAD_UTIL_THROW(message) \
    throw ::util::UtilException((message), __PRETTY_FUNCTION__, __LINE__)
