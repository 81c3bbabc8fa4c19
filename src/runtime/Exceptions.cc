#include "runtime/Exceptions.h"

namespace runtime {
namespace {

std::string location(const std::string& function, int line) {
    return " (" + function + ":" + (line < 1 ? std::string("-") : std::to_string(line)) + ")";
}

}  // namespace

LocatedException::LocatedException(std::string message, std::string function, int line)
    : LocatedException(std::move(message), std::string(), std::move(function), line) {}

LocatedException::LocatedException(std::string message, const std::string& detail,
                                   std::string function, int line)
    : message_(std::move(message)), function_(std::move(function)), line_(line) {
    text_ = message_ + detail + location(function_, line_);
}

}  // namespace runtime

AgentFileException::AgentFileException(std::string message, std::string path, std::string function,
                                       int line)
    : runtime::AgentException(std::move(message), " (" + path + ")", std::move(function), line),
      path_(std::move(path)) {}
