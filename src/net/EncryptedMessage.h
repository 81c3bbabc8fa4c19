// The plain text of one request or reply, with typed big-endian reads and writes, sent and
// received on the connection as a PROT_ENCRYPTED unit:
//   PROT_ENCRYPTED | u32 C | C bytes of ciphertext (see crypto/Envelope.h)
// A message copies the connection's protocol key and has a cipher context of its own, so
// messages on different threads never share cipher state. One message belongs to one
// thread. In protocol version 2 (the stream has a crypto::SecureChannel) the ciphertext is
// the channel's seal of the plain text instead: the same framing, C = L + 16.
#pragma once

#include <cstdint>
#include <string>

#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"
#include "net/ProtocolStream.h"

namespace net {

class EncryptedMessage {
  public:
    // The stream must outlive the message.
    EncryptedMessage(ProtocolStream& stream, const crypto::KeyMsg& protocolKey);
    EncryptedMessage(const EncryptedMessage&) = delete;
    EncryptedMessage& operator=(const EncryptedMessage&) = delete;

    ProtocolStream& stream() const { return *stream_; }

    // Encrypts the plain text and writes the whole unit to the socket.
    void send();
    // Reads C and the ciphertext (the caller has read and checked PROT_ENCRYPTED), decrypts
    // and makes the result the plain text, read position at its start. C above the
    // envelope's limit ends the exchange before anything is allocated.
    void receive();
    // Reads the code, requires PROT_ENCRYPTED, then receive().
    void receiveExpected();

    // Version 2: the channel's sequence number of the message last sent or received.
    std::uint64_t sequence() const { return sequence_; }
    // Empties the plain text before a reply is written.
    void clear();

    // Copies exactly count bytes from the read position or throws runtime::AgentException
    // naming count when fewer remain; after an underrun every later read fails too.
    EncryptedMessage& read(char* destination, std::uint64_t count);

    std::uint8_t read8();
    std::uint16_t read16();
    std::uint32_t read32();
    std::uint64_t read64();
    // A 32-bit length and that many bytes; a length beyond what is left is an underrun.
    std::string readString();
    // Exactly count bytes (underrun as read).
    std::string readBlock(std::uint64_t count);
    // u16 type | u16 K | K key bytes | u16 V | V IV bytes.
    crypto::KeyMsg readKey();

    EncryptedMessage& write8(std::uint8_t value);
    EncryptedMessage& write16(std::uint16_t value);
    EncryptedMessage& write32(std::uint32_t value);
    EncryptedMessage& write64(std::uint64_t value);
    EncryptedMessage& writeString(const std::string& text);
    EncryptedMessage& writeBytes(const std::string& bytes);
    EncryptedMessage& writeKey(const crypto::KeyMsg& key);

    EncryptedMessage& operator<<(std::uint32_t value) { return write32(value); }
    EncryptedMessage& operator<<(std::uint64_t value) { return write64(value); }
    EncryptedMessage& operator<<(const std::string& text) { return writeString(text); }
    EncryptedMessage& operator>>(std::uint16_t& value);
    EncryptedMessage& operator>>(std::uint32_t& value);
    EncryptedMessage& operator>>(std::string& text);
    EncryptedMessage& operator>>(crypto::KeyMsg& key);

    // True when every byte of the plain text has been read.
    bool atEnd() const { return !failed_ && position_ == plain_.size(); }
    std::size_t remaining() const { return failed_ ? 0 : plain_.size() - position_; }
    const std::string& plainText() const { return plain_; }
    void setPlainText(std::string plain);

  private:
    std::uint64_t readNumber(int bytes);
    void requireAvailable(std::uint64_t count);

    ProtocolStream* stream_;
    crypto::KeyMsg key_;
    crypto::CipherContext context_;
    std::string plain_;
    std::size_t position_ = 0;
    std::uint64_t sequence_ = 0;
    bool failed_ = false;
};

}  // namespace net
