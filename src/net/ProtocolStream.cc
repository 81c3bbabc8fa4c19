#include "net/ProtocolStream.h"

#include <cstdio>

#include "net/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace net {

std::string hexCode(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", code);
    return text;
}

ShortMessage ProtocolStream::sendCode(Code code) {
    ShortMessage message(socket_);
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
    return static_cast<std::uint32_t>(readBigEndian(bytes, 4));
}

std::uint64_t ProtocolStream::read64() {
    unsigned char bytes[8];
    readBytes(bytes, 8);
    return readBigEndian(bytes, 8);
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
    socket_->receiveAll(buffer, length);
}

}  // namespace net
