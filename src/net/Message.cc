#include "net/Message.h"

#include <mutex>

#include "logging/Logger.h"
#include "net/SealedUnits.h"
#include "platform/ByteOrder.h"

namespace net {

Message& Message::writeCode(Code code) {
    std::string unit;
    logging::Logger::get().drainNetLog(unit);
    platform::appendBigEndian(unit, code, 4);
    write(unit.data(), static_cast<std::int64_t>(unit.size()));
    return *this;
}

Message& Message::write32(std::uint32_t value) {
    std::string bytes;
    platform::appendBigEndian(bytes, value, 4);
    write(bytes.data(), 4);
    return *this;
}

Message& Message::write64(std::uint64_t value) {
    std::string bytes;
    platform::appendBigEndian(bytes, value, 8);
    write(bytes.data(), 8);
    return *this;
}

Message& Message::writeString(const std::string& text) {
    write32(static_cast<std::uint32_t>(text.size()));
    return writeBytes(text);
}

Message& Message::writeBytes(const std::string& bytes) {
    write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    return *this;
}

void Message::send(const void* data, std::int64_t length) {
    if (channel_ == nullptr) {
        socket_->sendAll(data, length);
        return;
    }
    std::lock_guard<std::mutex> lock(channel_->sendLock());
    std::string units;
    appendSealedUnits(
        units, *channel_,
        std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(length)));
    socket_->sendAll(units.data(), static_cast<std::int64_t>(units.size()));
}

ShortMessage::ShortMessage(ShortMessage&& other) noexcept
    : Message(other.socket(), other.channel()), buffer_(std::move(other.buffer_)) {
    other.buffer_.clear();
    other.setSocket(nullptr);
}

ShortMessage::~ShortMessage() {
    try {
        flush();
    } catch (...) {
        // The peer may be gone; whoever needs to know calls flush() itself.
    }
}

void ShortMessage::flush() {
    if (buffer_.empty() || socket() == nullptr)
        return;
    std::string pending;
    pending.swap(buffer_);
    send(pending.data(), static_cast<std::int64_t>(pending.size()));
}

void ShortMessage::write(const void* data, std::int64_t length) {
    buffer_.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
}

void LongMessage::write(const void* data, std::int64_t length) {
    send(data, length);
}

}  // namespace net
