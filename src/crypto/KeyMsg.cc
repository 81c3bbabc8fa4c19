#include "crypto/KeyMsg.h"

#include <openssl/rand.h>

#include <algorithm>
#include <limits>

#include "crypto/Digest.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"
#include "util/ByteReader.h"
#include "util/UtilException.h"

namespace crypto {
namespace {

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (count > 0 &&
        RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        ZENTRAD_THROW(runtime::AgentException, "error generating random key bytes");
    }
    return bytes;
}

void checkKeyBits(std::uint16_t keyBits) {
    if (keyBits % 8 != 0) {
        ZENTRAD_THROW(runtime::AgentException, "key length " + std::to_string(keyBits) +
                                                   " invalid: must be multiple of bytes");
    }
    if (keyBits < KeyMsg::kMinKeyBits || keyBits > KeyMsg::kMaxKeyBits) {
        ZENTRAD_THROW(runtime::AgentException, "key size " + std::to_string(keyBits) +
                                                   " invalid, valid sizes " +
                                                   std::to_string(KeyMsg::kMinKeyBits) + "-" +
                                                   std::to_string(KeyMsg::kMaxKeyBits));
    }
}

std::string_view digestView(const Sha1Digest& digest) {
    return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

}  // namespace

KeyMsg::KeyMsg(std::uint16_t type, std::uint16_t keyBits) : type_(type) {
    checkKeyBits(keyBits);
    // The key is drawn before the IV, as the record orders them.
    key_ = randomBytes(keyBits / 8);
    iv_ = randomBytes(kIvBytes);
}

KeyMsg::KeyMsg(std::uint16_t type, std::string key, std::string iv)
    : type_(type), iv_(std::move(iv)), key_(std::move(key)) {
    constexpr std::size_t kMaxField = std::numeric_limits<std::uint16_t>::max();
    if (key_.size() > kMaxField || iv_.size() > kMaxField) {
        ZENTRAD_THROW(runtime::AgentException, "key record field too long");
    }
}

KeyMsg::KeyMsg(const RsaKeyPtr& privateKey, std::string_view sealed) {
    std::string plain;
    if (!privateKey || !privateKey->decrypt(sealed, plain)) {
        ZENTRAD_THROW(runtime::AgentException, "RSA decrypt failed");
    }
    parsePlainRecord(plain);
}

void KeyMsg::parsePlainRecord(std::string_view plain) {
    util::ByteReader reader(plain);
    std::string digest;
    try {
        type_ = reader.readU16();
        key_ = reader.readShortBytes();
        iv_ = reader.readShortBytes();
        digest = reader.readBytes(kSha1Bytes);
    } catch (const util::UtilException&) {
        ZENTRAD_THROW(runtime::AgentException, "ran out of data in key buffer while parsing");
    }
    if (!reader.atEnd()) {
        ZENTRAD_THROW(runtime::AgentException,
                      std::to_string(reader.remaining()) +
                          " bytes of unexpected data found in session key buffer");
    }
    const auto expected = sha1(plain.substr(0, plain.size() - kSha1Bytes));
    if (!expected)
        ZENTRAD_THROW(runtime::AgentException, "error computing SHA1 of buffer");
    if (digestView(*expected) != digest) {
        ZENTRAD_THROW(runtime::AgentException, "session key invalid, failed sha1 checksum");
    }
}

std::string KeyMsg::clearRecord() const {
    std::string record;
    record.reserve(6 + key_.size() + iv_.size() + kSha1Bytes);
    platform::appendU16(record, type_);
    platform::appendU16(record, static_cast<std::uint16_t>(key_.size()));
    record += key_;
    platform::appendU16(record, static_cast<std::uint16_t>(iv_.size()));
    record += iv_;
    return record;
}

std::string KeyMsg::plainRecord() const {
    std::string record = clearRecord();
    const auto digest = sha1(record);
    if (!digest)
        ZENTRAD_THROW(runtime::AgentException, "error computing SHA1 of buffer");
    record += digestView(*digest);
    return record;
}

std::string KeyMsg::encrypt(const RsaKeyPtr& publicKey) const {
    const std::string record = plainRecord();
    std::string sealed = publicKey ? publicKey->encrypt(record) : std::string();
    if (sealed.empty()) {
        ZENTRAD_THROW(runtime::AgentException, "error encrypting key session with RSA key");
    }
    return sealed;
}

}  // namespace crypto
