#include "net/ProtocolStream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "crypto/Envelope.h"
#include "net/SealedUnits.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace net {

std::string hexCode(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", code);
    return text;
}

ShortMessage ProtocolStream::sendCode(Code code) {
    ShortMessage message(socket_, channel_.get());
    message.writeCode(code);
    return message;
}

ProtocolStream& ProtocolStream::operator>>(Code& code) {
    code = readCode();
    return *this;
}

Code ProtocolStream::readCode() {
    Code code = readRawCode();
    if (code == PROT_ERROR) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Remote host has reported an error and closed the connection.");
    }
    return code;
}

Code ProtocolStream::readRawCode() {
    while (channel_ && inboxEmpty()) {
        Code code = readRaw32();
        if (code != PROT_SEALED) {
            if (mayArriveUnsealed(code))
                return code;
            ZENTRAD_THROW(runtime::AgentException, "Protocol error.  Unsealed unit (0x" +
                                                       hexCode(code) + ") in protocol version 2");
        }
        openSealedUnit();
    }
    return read32();
}

void ProtocolStream::readCodeExpect(Code expected) {
    verifyCode(expected, readCode());
}

void ProtocolStream::verifyCode(Code expected, Code received) {
    if (expected == received)
        return;
    if (received == PROT_FINISHED) {
        ZENTRAD_THROW(
            runtime::AgentException,
            "Remote host has unexpectedly reported it is finished and closed the connection.");
    }
    ZENTRAD_THROW(runtime::AgentException, "Protocol error.  Expected (0x" + hexCode(expected) +
                                               ") but received (0x" + hexCode(received) + ")");
}

std::uint32_t ProtocolStream::read32() {
    unsigned char bytes[4];
    readBytes(bytes, 4);
    return static_cast<std::uint32_t>(platform::loadBigEndian(bytes, 4));
}

std::uint64_t ProtocolStream::read64() {
    unsigned char bytes[8];
    readBytes(bytes, 8);
    return platform::loadBigEndian(bytes, 8);
}

std::string ProtocolStream::readString(std::uint32_t maxLength) {
    std::uint32_t length = read32();
    if (length > maxLength) {
        ZENTRAD_THROW(runtime::AgentException,
                      "String of (" + std::to_string(length) +
                          ") bytes from remote host exceeds the limit of (" +
                          std::to_string(maxLength) + ") bytes");
    }
    std::string text(length, '\0');
    readBytes(text.data(), length);
    return text;
}

void ProtocolStream::readBytes(void* buffer, std::int64_t length) {
    if (!channel_) {
        socket_->receiveAll(buffer, length);
        return;
    }
    auto* out = static_cast<char*>(buffer);
    while (length > 0) {
        if (inboxEmpty()) {
            Code code = readRaw32();
            if (code != PROT_SEALED) {
                ZENTRAD_THROW(runtime::AgentException,
                              "Protocol error.  Expected a sealed unit (0x" + hexCode(PROT_SEALED) +
                                  ") but received (0x" + hexCode(code) + ")");
            }
            openSealedUnit();
            continue;
        }
        std::size_t piece =
            std::min(static_cast<std::size_t>(length), inbox_.size() - inboxPosition_);
        std::memcpy(out, inbox_.data() + inboxPosition_, piece);
        inboxPosition_ += piece;
        out += piece;
        length -= static_cast<std::int64_t>(piece);
    }
}

void ProtocolStream::readRawBytes(void* buffer, std::int64_t length) {
    if (channel_ && !inboxEmpty()) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Protocol error.  Unsealed bytes where a sealed unit had (" +
                          std::to_string(inbox_.size() - inboxPosition_) + ") bytes left");
    }
    socket_->receiveAll(buffer, length);
}

std::uint32_t ProtocolStream::readRaw32() {
    unsigned char bytes[4];
    readRawBytes(bytes, 4);
    return static_cast<std::uint32_t>(platform::loadBigEndian(bytes, 4));
}

void ProtocolStream::openSealedUnit() {
    std::uint32_t length = readRaw32();
    crypto::encryption::checkCiphertextLength(length);
    std::string sealed(length, '\0');
    socket_->receiveAll(sealed.data(), length);
    std::lock_guard<std::mutex> lock(channel_->receiveLock());
    std::uint64_t sequence = 0;
    inbox_ = channel_->openMessage(sealed, sequence);
    inboxPosition_ = 0;
}

}  // namespace net
