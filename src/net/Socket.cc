#include "net/Socket.h"

#include <atomic>

#include "net/SocketException.h"
#include "platform/System.h"

namespace net {
namespace {

// Starting Winsock twice is harmless (it counts start-ups), so two threads racing to the
// first socket need no lock.
std::atomic<bool> socketsStarted{false};

void startSocketsOnce() {
    if (socketsStarted.load())
        return;
    if (platform::startSockets(2) != 0)
        throw SocketException("Unable to load winsock DLL");
    socketsStarted.store(true);
}

platform::SocketHandle newStreamSocket() {
    startSocketsOnce();
    platform::SocketHandle handle = platform::createStreamSocket();
    if (handle == platform::kInvalidSocket) {
        throw SocketException::withLastError("failed to create new socket");
    }
    return handle;
}

}  // namespace

std::string SocketException::describe(const std::string& fixed, int error) {
    // The system text is UTF-16 on Windows; like the rest of the agent's messages it is
    // narrowed by keeping the low byte of each unit, line end included.
    std::wstring text = platform::formatMessage(static_cast<std::uint32_t>(error));
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t unit : text)
        narrow += static_cast<char>(static_cast<unsigned>(unit) & 0xFF);
    return fixed + " (" + std::to_string(error) + "): " + narrow;
}

SocketException SocketException::withLastError(const std::string& fixed) {
    return SocketException(describe(fixed, platform::lastSocketError()));
}

Socket::Socket() : handle_(newStreamSocket()) {}

Socket::Socket(platform::SocketHandle adopted) : handle_(adopted) {}

Socket::~Socket() {
    close();
}

void Socket::close() {
    if (!closed_ && handle_ != platform::kInvalidSocket)
        platform::closeSocket(handle_);
    closed_ = true;
}

bool Socket::waitReadable(int seconds, int microseconds) {
    int result = platform::selectReadable(handle_, seconds, microseconds);
    if (result < 0)
        throw SocketException::withLastError("Failed to wait for data on socket");
    return result > 0;
}

std::uint16_t Socket::localPort() const {
    return platform::localPort(handle_);
}

}  // namespace net
