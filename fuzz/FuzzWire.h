// What a fuzz input becomes on the wire: a script of pieces, each
//   u8 kind | u16 length (big-endian) | length bytes
// where an odd kind sends the bytes as the plain text of one encrypted unit under the
// connection's protocol key (so inputs reach past the envelope's checks), and an even kind
// sends them as they are. Bytes after the last whole piece are sent as they are. The peer's
// side is then shut for sending, so every read of the agent ends.
//
// A socket pair stands for the connection (a TCP connection per input would use up the
// ports); the agent's replies stay unread in the peer's receive buffer, so inputs are kept
// small.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/EncryptedMessage.h"
#include "net/ServerConnection.h"
#include "net/TcpSocket.h"

namespace fuzz {

constexpr std::size_t kMaxScriptBytes = 32768;
// A script that leaves the agent waiting ends the input after this long, not the default's.
constexpr std::int32_t kSocketTimeoutSeconds = 1;

struct WireConnection {
    std::unique_ptr<net::TcpSocket> peer;
    std::unique_ptr<net::TcpSocket> agentSocket;
    std::unique_ptr<net::ServerConnection> agent;

    bool open() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return false;
        peer = std::make_unique<net::TcpSocket>(static_cast<platform::SocketHandle>(ends[0]),
                                                kSocketTimeoutSeconds);
        agentSocket = std::make_unique<net::TcpSocket>(static_cast<platform::SocketHandle>(ends[1]),
                                                       kSocketTimeoutSeconds);
        agent = std::make_unique<net::ServerConnection>(agentSocket.get());
        return true;
    }

    // Sends the script's pieces from the peer and shuts the peer's sending side.
    void feed(const std::uint8_t* data, std::size_t size) {
        net::ProtocolStream stream(peer.get());
        std::string raw;
        while (size >= 3) {
            std::size_t length = (std::size_t{data[1]} << 8) | data[2];
            if (length > size - 3)
                break;
            std::string bytes(reinterpret_cast<const char*>(data + 3), length);
            if (data[0] & 1) {
                flushRaw(raw);
                net::EncryptedMessage unit(stream, agent->protocolKey());
                unit.setPlainText(std::move(bytes));
                unit.send();
            } else {
                raw += bytes;
            }
            data += 3 + length;
            size -= 3 + length;
        }
        raw.append(reinterpret_cast<const char*>(data), size);
        flushRaw(raw);
        peer->shutdownSend();
    }

  private:
    void flushRaw(std::string& raw) {
        if (!raw.empty())
            peer->sendAll(raw.data(), static_cast<std::int64_t>(raw.size()));
        raw.clear();
    }
};

}  // namespace fuzz
