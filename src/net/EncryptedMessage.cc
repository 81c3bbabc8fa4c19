#include "net/EncryptedMessage.h"

#include <cstring>
#include <mutex>

#include "crypto/Envelope.h"
#include "logging/Logger.h"
#include "net/SealedUnits.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace net {

EncryptedMessage::EncryptedMessage(ProtocolStream& stream, const crypto::KeyMsg& protocolKey)
    : stream_(&stream), key_(protocolKey) {}

void EncryptedMessage::send() {
    if (crypto::SecureChannel* channel = stream_->channel()) {
        // Sealed and written under one lock, so the wire keeps the counters' order.
        // The thread's queued log records go in sealed units just ahead of it.
        std::lock_guard<std::mutex> lock(channel->sendLock());
        std::string unit;
        std::string records;
        logging::Logger::get().drainNetLog(records);
        appendSealedUnits(unit, *channel, records);
        std::string sealed = channel->sealMessage(plain_, sequence_);
        platform::appendBigEndian(unit, PROT_ENCRYPTED, 4);
        platform::appendBigEndian(unit, sealed.size(), 4);
        unit += sealed;
        stream_->socket()->sendAll(unit.data(), static_cast<std::int64_t>(unit.size()));
        return;
    }
    std::string ciphertext = crypto::encryption::encryptMessage(key_, context_, plain_);
    ShortMessage unit = stream_->sendCode(PROT_ENCRYPTED);
    unit.write32(static_cast<std::uint32_t>(ciphertext.size()));
    unit.writeBytes(ciphertext);
    unit.flush();
}

void EncryptedMessage::receive() {
    std::uint32_t length = stream_->readRaw32();
    crypto::encryption::checkCiphertextLength(length);
    std::string ciphertext(length, '\0');
    stream_->readRawBytes(ciphertext.data(), length);
    if (crypto::SecureChannel* channel = stream_->channel()) {
        // One thread reads the connection at a time; the lock only orders the counter.
        std::lock_guard<std::mutex> lock(channel->receiveLock());
        setPlainText(channel->openMessage(ciphertext, sequence_));
        return;
    }
    setPlainText(crypto::encryption::decryptMessage(key_, context_, ciphertext));
}

void EncryptedMessage::receiveExpected() {
    stream_->readCodeExpect(PROT_ENCRYPTED);
    receive();
}

void EncryptedMessage::clear() {
    setPlainText(std::string());
}

void EncryptedMessage::setPlainText(std::string plain) {
    plain_ = std::move(plain);
    position_ = 0;
    failed_ = false;
}

void EncryptedMessage::requireAvailable(std::uint64_t count) {
    if (!failed_ && count <= plain_.size() - position_)
        return;
    failed_ = true;
    ZENTRAD_THROW(runtime::AgentException, "Buffer underrun when attempting to read (" +
                                               std::to_string(count) +
                                               ") bytes from encrypted message buffer");
}

EncryptedMessage& EncryptedMessage::read(char* destination, std::uint64_t count) {
    requireAvailable(count);
    std::memcpy(destination, plain_.data() + position_, static_cast<std::size_t>(count));
    position_ += static_cast<std::size_t>(count);
    return *this;
}

std::string EncryptedMessage::readBlock(std::uint64_t count) {
    // Checked before anything is allocated: the length is the peer's word.
    requireAvailable(count);
    std::string bytes(plain_, position_, static_cast<std::size_t>(count));
    position_ += static_cast<std::size_t>(count);
    return bytes;
}

std::uint64_t EncryptedMessage::readNumber(int bytes) {
    char buffer[8];
    read(buffer, static_cast<std::uint64_t>(bytes));
    return platform::loadBigEndian(buffer, bytes);
}

std::uint8_t EncryptedMessage::read8() {
    return static_cast<std::uint8_t>(readNumber(1));
}
std::uint16_t EncryptedMessage::read16() {
    return static_cast<std::uint16_t>(readNumber(2));
}
std::uint32_t EncryptedMessage::read32() {
    return static_cast<std::uint32_t>(readNumber(4));
}
std::uint64_t EncryptedMessage::read64() {
    return readNumber(8);
}

std::string EncryptedMessage::readString() {
    return readBlock(read32());
}

crypto::KeyMsg EncryptedMessage::readKey() {
    std::uint16_t type = read16();
    std::string key = readBlock(read16());
    std::string iv = readBlock(read16());
    return crypto::KeyMsg(type, std::move(key), std::move(iv));
}

EncryptedMessage& EncryptedMessage::write8(std::uint8_t value) {
    platform::appendBigEndian(plain_, value, 1);
    return *this;
}

EncryptedMessage& EncryptedMessage::write16(std::uint16_t value) {
    platform::appendBigEndian(plain_, value, 2);
    return *this;
}

EncryptedMessage& EncryptedMessage::write32(std::uint32_t value) {
    platform::appendBigEndian(plain_, value, 4);
    return *this;
}

EncryptedMessage& EncryptedMessage::write64(std::uint64_t value) {
    platform::appendBigEndian(plain_, value, 8);
    return *this;
}

EncryptedMessage& EncryptedMessage::writeString(const std::string& text) {
    write32(static_cast<std::uint32_t>(text.size()));
    return writeBytes(text);
}

EncryptedMessage& EncryptedMessage::writeBytes(const std::string& bytes) {
    plain_ += bytes;
    return *this;
}

EncryptedMessage& EncryptedMessage::writeKey(const crypto::KeyMsg& key) {
    plain_ += key.clearRecord();
    return *this;
}

EncryptedMessage& EncryptedMessage::operator>>(std::uint16_t& value) {
    value = read16();
    return *this;
}

EncryptedMessage& EncryptedMessage::operator>>(std::uint32_t& value) {
    value = read32();
    return *this;
}

EncryptedMessage& EncryptedMessage::operator>>(std::string& text) {
    text = readString();
    return *this;
}

EncryptedMessage& EncryptedMessage::operator>>(crypto::KeyMsg& key) {
    key = readKey();
    return *this;
}

}  // namespace net
