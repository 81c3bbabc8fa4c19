#include "util/UtilException.h"

namespace util {
namespace {

std::string describe(const std::string& message, const std::string& function, int line) {
    return message + " (" + function + ":" + (line < 1 ? std::string("-") : std::to_string(line)) +
           ")";
}

}  // namespace

UtilException::UtilException(std::string message, const std::string& function, int line)
    : std::runtime_error(describe(message, function, line)), message_(std::move(message)) {}

}  // namespace util
