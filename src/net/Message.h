// Outgoing units of the plain stream. A ShortMessage collects a code and its fields and
// reaches the wire in one piece when flushed or destroyed; a LongMessage sends every
// write at once (bulk data). Writing a code first moves the calling thread's queued
// network log records into the message, so they arrive just ahead of that code. Given a
// protocol-version-2 channel, what either kind sends goes out in sealed units
// (net/SealedUnits.h): a short message as one unit, a long one a unit per write.
#pragma once

#include <cstdint>
#include <string>

#include "net/Codes.h"
#include "net/TcpSocket.h"

namespace crypto {
class SecureChannel;
}

namespace net {

class Message {
  public:
    // Neither the socket nor the channel (null in version 1) is owned.
    explicit Message(TcpSocket* socket, crypto::SecureChannel* channel = nullptr)
        : socket_(socket), channel_(channel) {}
    virtual ~Message() = default;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    virtual void flush() = 0;
    virtual void write(const void* data, std::int64_t length) = 0;

    // Drains the thread's network log records into this message, then writes the code.
    Message& writeCode(Code code);
    Message& write32(std::uint32_t value);
    Message& write64(std::uint64_t value);
    // 32-bit length (the low 32 bits of the size), then the bytes.
    Message& writeString(const std::string& text);
    Message& writeBytes(const std::string& bytes);

  protected:
    TcpSocket* socket() const { return socket_; }
    crypto::SecureChannel* channel() const { return channel_; }
    void setSocket(TcpSocket* socket) { socket_ = socket; }
    // Writes the bytes, sealed when there is a channel.
    void send(const void* data, std::int64_t length);

  private:
    TcpSocket* socket_;
    crypto::SecureChannel* channel_;
};

class ShortMessage : public Message {
  public:
    explicit ShortMessage(TcpSocket* socket, crypto::SecureChannel* channel = nullptr)
        : Message(socket, channel) {}
    ShortMessage(ShortMessage&& other) noexcept;
    // Sends what is still buffered; errors are ignored here (call flush to see them).
    ~ShortMessage() override;

    void flush() override;
    void write(const void* data, std::int64_t length) override;

    const std::string& buffered() const { return buffer_; }

  private:
    std::string buffer_;
};

class LongMessage : public Message {
  public:
    explicit LongMessage(TcpSocket* socket, crypto::SecureChannel* channel = nullptr)
        : Message(socket, channel) {}
    void flush() override {}
    void write(const void* data, std::int64_t length) override;
};

}  // namespace net
