#include "logging/NetLogger.h"

#include <cstring>
#include <mutex>

#include "logging/Logger.h"

namespace logging {
namespace {

void putBigEndian32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t recordCode(LogLevel level) {
    switch (level) {
        case kLogWarn:
            return kLogRecordWarn;
        case kLogInfo:
            return kLogRecordInfo;
        default:
            return kLogRecordError;
    }
}

}  // namespace

NetLogger::NetLogger(std::size_t capacity)
    : buffer_(new std::uint8_t[capacity]), capacity_(capacity) {}

void NetLogger::write(LogLevel level, const std::string& message) {
    if (level == kLogDebug)
        return;
    // The length field is 32 bits; anything longer could never fit the queue anyway.
    if (message.size() > capacity_ || used_ + 8 + message.size() > capacity_)
        return;
    std::uint8_t* at = buffer_.get() + used_;
    putBigEndian32(at, recordCode(level));
    putBigEndian32(at + 4, static_cast<std::uint32_t>(message.size()));
    std::memcpy(at + 8, message.data(), message.size());
    used_ += 8 + message.size();
}

void NetLogger::drainInto(std::string& out) {
    std::lock_guard<std::mutex> lock(Logger::get().writeMutex());
    out.append(reinterpret_cast<const char*>(buffer_.get()), used_);
    used_ = 0;
}

}  // namespace logging
