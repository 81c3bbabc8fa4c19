// Self-describing records of named, typed values. File restore receives each file's
// description (path, size, times, NTFS flags) as one such record and reads its fields by name.
//
// Wire form, all integers big-endian:
//   s32 N | N x ( u32 K | K key bytes | u32 type tag | payload )
// Entries are written in ascending byte-wise key order. Payloads by tag:
//   1 string (u32 length, bytes)   2 u8    3 s8    4 u16   5 s16
//   6 u32    7 s32                 8 u64   9 s64   10 bool (1 byte, non-zero is true)
//
// Parsing treats the bytes as hostile: every count and length is compared with the bytes
// that remain before anything is read or allocated, so a record never costs more memory
// than the bytes it came in. Failure is reported by returning false; nothing throws.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "util/KeyValueTypes.h"

namespace util {

class KeyValueMap final : public ISerializable {
  public:
    using Entries = std::map<std::string, std::unique_ptr<ValueStruct>>;

    KeyValueMap() = default;
    KeyValueMap(const KeyValueMap&) = delete;
    KeyValueMap& operator=(const KeyValueMap&) = delete;
    KeyValueMap(KeyValueMap&&) = default;
    KeyValueMap& operator=(KeyValueMap&&) = default;

    // The whole record. On failure a buffer that was too small may hold a partial record.
    bool serialize(char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) const override;
    // 4 plus 4 + K + the value's size per entry; saturates at 0xFFFFFFFF for records too
    // large to serialise.
    std::uint32_t serializedSize() const override;
    // Replaces the contents with the record at the offset. On failure the map is empty and
    // the offset unchanged.
    bool deserialize(const char* buffer, std::uint32_t* offset, std::uint32_t bufferSize) override;

    // The record as bytes; nullopt when it is too large to serialise.
    std::optional<std::string> toBytes() const;
    // deserialize over the whole of bytes; trailing bytes after the record make it fail.
    bool fromBytes(std::string_view bytes);

    // The value under key, or null.
    const ValueStruct* find(const std::string& key) const;
    // The value under key when it is of class V (by type tag), else null.
    template <typename V>
    const V* findAs(const std::string& key) const {
        const ValueStruct* value = find(key);
        return value != nullptr && value->type() == V::kType ? static_cast<const V*>(value)
                                                             : nullptr;
    }

    // Stores value under key, replacing (and deleting) any earlier value. A null value
    // removes the key.
    void set(const std::string& key, std::unique_ptr<ValueStruct> value);
    template <typename V, typename T>
    void put(const std::string& key, T value) {
        set(key, std::make_unique<V>(std::move(value)));
    }

    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const Entries& entries() const { return entries_; }

  private:
    Entries entries_;
};

}  // namespace util
