#include "net/TcpSocket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "net/SocketException.h"
#include "runtime/RunState.h"

namespace net {
namespace {

constexpr std::int64_t kMaxSendPiece = 65536;
constexpr std::int64_t kMaxReceivePiece = 0x40000000;
// Waits are cut into slices so a stop request is noticed within a second.
constexpr auto kStopCheckInterval = std::chrono::seconds(1);

std::string secondsSince(std::chrono::steady_clock::time_point start) {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(elapsed.count()) / 1000.0);
    return text;
}

std::string receivedSoFar(std::int64_t received, std::int64_t wanted) {
    return "(Received  " + std::to_string(received) + "/" + std::to_string(wanted) + ")";
}

}  // namespace

std::unique_ptr<TcpSocket> TcpSocket::connectTo(const std::string& host, std::uint16_t port,
                                                std::int32_t timeoutSeconds) {
    std::uint32_t address = 0;
    if (!platform::resolveIpv4(host, address)) {
        throw SocketException("Unable to resolve host name (" + host + ")");
    }
    auto socket = std::make_unique<TcpSocket>(Unconnected{}, timeoutSeconds);
    if (platform::connectSocket(socket->handle(), address, port) != 0) {
        throw SocketException::withLastError("Failed to connect to remote host (" + host + ":" +
                                             std::to_string(port) + ")");
    }
    // Best effort: without it only small units wait a little longer.
    platform::setNoDelay(socket->handle());
    return socket;
}

void TcpSocket::sendAll(const void* data, std::int64_t length) {
    const auto* at = static_cast<const char*>(data);
    std::int64_t sent = 0;
    while (sent < length) {
        int piece = static_cast<int>(std::min(length - sent, kMaxSendPiece));
        int taken = platform::sendSocketNoWait(handle(), at + sent, piece);
        if (taken >= 0) {
            sent += taken;
            continue;
        }
        if (platform::lastSocketError() != platform::kWsaWouldBlock)
            throw SocketException::withLastError("Failed to send data to remote host");
        // The peer's window and our buffer are full: wait for room, as a receive waits for
        // data.
        waitForRoom(timeout(), sent, length);
    }
}

std::int64_t TcpSocket::receiveAll(void* buffer, std::int64_t length) {
    auto* at = static_cast<char*>(buffer);
    std::int64_t received = 0;
    while (received < length) {
        if (interrupted_.load())
            throw SocketException("Receiving interrupted " + receivedSoFar(received, length));
        if (bufferedBytes() > 0) {
            auto take = static_cast<std::size_t>(std::min<std::int64_t>(
                length - received, static_cast<std::int64_t>(bufferedBytes())));
            std::memcpy(at + received, buffer_.get() + bufferStart_, take);
            bufferStart_ += take;
            received += static_cast<std::int64_t>(take);
            continue;
        }
        std::int64_t left = length - received;
        // A read at least as long as the buffer goes straight into the caller's memory: the
        // buffer would only add a copy.
        if (left >= static_cast<std::int64_t>(kReceiveBufferBytes)) {
            received += receiveSome(at + received, left, received, length);
            continue;
        }
        if (!buffer_)
            buffer_ = std::make_unique_for_overwrite<char[]>(kReceiveBufferBytes);
        // Emptied before the receive, which may throw: a later read must find nothing stale.
        bufferStart_ = 0;
        bufferEnd_ = 0;
        bufferEnd_ = static_cast<std::size_t>(receiveSome(
            buffer_.get(), static_cast<std::int64_t>(kReceiveBufferBytes), received, length));
    }
    return received;
}

std::int64_t TcpSocket::receiveSome(char* into, std::int64_t most, std::int64_t received,
                                    std::int64_t wanted) {
    int piece = static_cast<int>(std::min(most, kMaxReceivePiece));
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        // Whatever has arrived is taken without asking first; only an empty socket waits.
        int got = platform::recvSocketNoWait(handle(), into, piece);
        if (got > 0)
            return got;
        if (got == 0) {
            throw SocketException(
                "Remote host unexpectedly closed connection after trying to read for (" +
                secondsSince(start) + ") seconds");
        }
        if (platform::lastSocketError() != platform::kWsaWouldBlock)
            throw SocketException::withLastError("Failed to receive data from remote host");
        waitForData(timeout(), received, wanted);
    }
}

void TcpSocket::waitForData(std::int32_t timeoutSeconds, std::int64_t received,
                            std::int64_t wanted) {
    auto progress = [received, wanted] { return receivedSoFar(received, wanted); };
    waitUntilReady(Direction::receive, timeoutSeconds, progress);
}

void TcpSocket::waitForRoom(std::int32_t timeoutSeconds, std::int64_t sent, std::int64_t wanted) {
    auto progress = [sent, wanted] {
        return "(Sent " + std::to_string(sent) + "/" + std::to_string(wanted) + ")";
    };
    waitUntilReady(Direction::send, timeoutSeconds, progress);
}

void TcpSocket::waitUntilReady(Direction direction, std::int32_t timeoutSeconds,
                               const std::function<std::string()>& progress) {
    using Clock = std::chrono::steady_clock;
    bool receiving = direction == Direction::receive;
    const char* what = receiving ? "receiving data from" : "sending data to";
    auto timeoutAt = Clock::now() + std::chrono::seconds(std::max<std::int32_t>(timeoutSeconds, 0));
    for (;;) {
        if (receiving && interrupted_.load())
            throw SocketException("Receiving interrupted " + progress());
        auto now = Clock::now();
        auto sliceEnd = std::min(timeoutAt, now + kStopCheckInterval);
        if (deadline_)
            sliceEnd = std::min(sliceEnd, *deadline_);
        auto slice = std::max<std::int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(sliceEnd - now).count(), 0);
        auto seconds = static_cast<std::int32_t>(slice / 1000000);
        auto microseconds = static_cast<std::int32_t>(slice % 1000000);
        int ready = receiving ? platform::selectReadable(handle(), seconds, microseconds)
                              : platform::selectWritable(handle(), seconds, microseconds);
        // A failed select is not treated specially: the call that follows reports the error.
        if (ready != 0)
            return;
        ZENTRAD_CHECK_RUNNING();
        now = Clock::now();
        if (deadline_ && now >= *deadline_) {
            throw SocketException(std::string("Timed out while ") + what +
                                  " remote host: the exchange did not complete in time. " +
                                  progress());
        }
        if (now >= timeoutAt) {
            throw SocketException(std::string("Timed out while ") + what + " remote host after (" +
                                  std::to_string(timeoutSeconds) + ") seconds. " + progress());
        }
    }
}

std::string TcpSocket::getPeerAddress() const {
    std::string address;
    return platform::peerNumericAddress(handle(), address) ? address : std::string();
}

void TcpSocket::shutdownSend() {
    if (platform::shutdownSend(handle()) != 0) {
        throw SocketException::withLastError("Failed to shut down sending to remote host");
    }
}

}  // namespace net
