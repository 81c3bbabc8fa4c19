// The one error of the socket layer. It carries only its message; where Winsock failed,
// the message ends in " (" + error number + "): " + the system's text for that number.
#pragma once

#include <stdexcept>
#include <string>

namespace net {

class SocketException : public std::exception {
  public:
    explicit SocketException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

    // fixed + " (" + the calling thread's last Winsock error + "): " + its system text.
    static SocketException withLastError(const std::string& fixed);
    // The same for a given error number.
    static std::string describe(const std::string& fixed, int error);

  private:
    std::string message_;
};

}  // namespace net
