// The plain protocol stream on one connected socket: reads codes and fields (each read
// bounded by the socket's receive time-out) and starts outgoing short messages. Both ends
// of the wire build on it: the agent's ServerConnection and the backup server's connection.
// In protocol version 2 the plain stream arrives in sealed units (net/SealedUnits.h): the
// reads below take their bytes from what those open to, and refuse any other unit but the
// few that travel unsealed, which only the raw reads take.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "crypto/SecureChannel.h"

#include "net/Codes.h"
#include "net/Message.h"
#include "net/TcpSocket.h"

namespace net {

// Longest string the plain stream accepts unless a caller asks for less: nothing the
// server sends in the plain stream comes near it, and it keeps a hostile length from
// becoming an allocation.
constexpr std::uint32_t kMaxPlainString = 64u << 20;

class ProtocolStream {
  public:
    // The socket is not owned and must outlive the stream.
    explicit ProtocolStream(TcpSocket* socket) : socket_(socket) {}
    virtual ~ProtocolStream() = default;
    ProtocolStream(const ProtocolStream&) = delete;
    ProtocolStream& operator=(const ProtocolStream&) = delete;

    TcpSocket* socket() const { return socket_; }

    // A short message holding the code; add fields and let it go out of scope (or flush).
    ShortMessage sendCode(Code code);

    // Reads a code; PROT_ERROR throws runtime::AgentException saying that the peer
    // reported an error and closed the connection.
    ProtocolStream& operator>>(Code& code);
    virtual Code readCode();
    // Reads a code without the error check.
    Code readRawCode();
    // readCode, then verifyCode.
    void readCodeExpect(Code expected);
    // Returns when equal; otherwise throws runtime::AgentException (finished, or the
    // protocol error naming both codes in lower-case hexadecimal).
    static void verifyCode(Code expected, Code received);

    // Fields of the plain stream (version 2: from its sealed units).
    std::uint32_t read32();
    std::uint64_t read64();
    // A 32-bit length and that many bytes; a length above maxLength throws
    // runtime::AgentException before anything is allocated.
    std::string readString(std::uint32_t maxLength = kMaxPlainString);
    void readBytes(void* buffer, std::int64_t length);
    // Bytes outside the sealed units (an encrypted message's length and seal, a block
    // batch's records and digest); in version 2 a sealed unit must not have been left
    // part-read before them. The same as readBytes in version 1.
    void readRawBytes(void* buffer, std::int64_t length);
    std::uint32_t readRaw32();

    // Protocol version 2's channel once the handshake has set it up (null in version 1):
    // every encrypted message on this stream is then sealed by it.
    crypto::SecureChannel* channel() const { return channel_.get(); }
    void setChannel(std::unique_ptr<crypto::SecureChannel> channel) {
        channel_ = std::move(channel);
    }
    // The version the handshake settled on: 1 or 2.
    std::uint32_t protocolVersion() const { return channel_ ? 2 : 1; }

  private:
    // Version 2: reads and opens the next sealed unit into the inbox.
    void openSealedUnit();
    bool inboxEmpty() const { return inboxPosition_ == inbox_.size(); }

    TcpSocket* socket_;
    std::unique_ptr<crypto::SecureChannel> channel_;
    std::string inbox_;  // what the last sealed unit opened to
    std::size_t inboxPosition_ = 0;
};

// "0x" is left to the caller: lower-case hexadecimal without prefix.
std::string hexCode(std::uint32_t code);

}  // namespace net
