#include "util/KeyValueMap.h"

#include <limits>

namespace util {
namespace {

constexpr std::uint32_t kMaxSize = std::numeric_limits<std::uint32_t>::max();

// One entry at the cursor: key and value. Null when the bytes do not hold one.
std::unique_ptr<ValueStruct> readEntry(const char* buffer, ByteCursor& cursor,
                                       std::uint32_t bufferSize, std::string& key) {
    std::uint32_t keyLength = 0;
    std::uint32_t at = 0;
    std::uint32_t type = 0;
    if (!cursor.getU32(buffer, keyLength) || !cursor.take(keyLength, at))
        return nullptr;
    key.assign(buffer + at, keyLength);
    if (!cursor.getU32(buffer, type))
        return nullptr;
    std::unique_ptr<ValueStruct> value = ValueStruct::create(type);
    std::uint32_t position = cursor.position();
    if (value == nullptr || !value->deserialize(buffer, &position, bufferSize))
        return nullptr;
    cursor = ByteCursor(position, bufferSize);
    return value;
}

}  // namespace

bool KeyValueMap::serialize(char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) const {
    ByteCursor cursor(offset != nullptr ? *offset : 0, bufferSize);
    if (entries_.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
        !cursor.putU32(buffer, static_cast<std::uint32_t>(entries_.size()))) {
        return false;
    }
    for (const auto& [key, value] : entries_) {
        if (key.size() > kMaxSize)
            return false;
        auto keyLength = static_cast<std::uint32_t>(key.size());
        if (!cursor.putU32(buffer, keyLength) || !cursor.putBytes(buffer, key.data(), keyLength))
            return false;
        std::uint32_t position = cursor.position();
        if (!value->serialize(buffer, &position, bufferSize))
            return false;
        cursor = ByteCursor(position, bufferSize);
    }
    if (offset != nullptr)
        *offset = cursor.position();
    return true;
}

std::uint32_t KeyValueMap::serializedSize() const {
    std::uint64_t total = 4;
    for (const auto& [key, value] : entries_) {
        total += 4 + std::uint64_t{key.size()} + value->serializedSize();
        if (total > kMaxSize)
            return kMaxSize;
    }
    return static_cast<std::uint32_t>(total);
}

bool KeyValueMap::deserialize(const char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) {
    entries_.clear();
    ByteCursor cursor(offset != nullptr ? *offset : 0, bufferSize);
    std::uint32_t count = 0;
    if (!cursor.getU32(buffer, count))
        return false;
    // Every entry takes at least 9 bytes, so the loop below ends long before a hostile
    // count could matter; the new entries are built aside and only kept when all parse.
    Entries parsed;
    const auto entryCount = static_cast<std::int32_t>(count);
    for (std::int32_t i = 0; i < entryCount; ++i) {
        std::string key;
        std::unique_ptr<ValueStruct> value = readEntry(buffer, cursor, bufferSize, key);
        if (value == nullptr)
            return false;
        parsed[std::move(key)] = std::move(value);
    }
    entries_ = std::move(parsed);
    if (offset != nullptr)
        *offset = cursor.position();
    return true;
}

std::optional<std::string> KeyValueMap::toBytes() const {
    std::uint32_t size = serializedSize();
    if (size == kMaxSize)
        return std::nullopt;
    std::string bytes(size, '\0');
    if (!serialize(bytes.data(), nullptr, size))
        return std::nullopt;
    return bytes;
}

bool KeyValueMap::fromBytes(std::string_view bytes) {
    if (bytes.size() > kMaxSize) {
        entries_.clear();
        return false;
    }
    auto size = static_cast<std::uint32_t>(bytes.size());
    std::uint32_t offset = 0;
    if (!deserialize(bytes.data(), &offset, size))
        return false;
    if (offset != size) {
        entries_.clear();
        return false;
    }
    return true;
}

const ValueStruct* KeyValueMap::find(const std::string& key) const {
    auto entry = entries_.find(key);
    return entry == entries_.end() ? nullptr : entry->second.get();
}

void KeyValueMap::set(const std::string& key, std::unique_ptr<ValueStruct> value) {
    if (value == nullptr)
        entries_.erase(key);
    else
        entries_[key] = std::move(value);
}

}  // namespace util
