#include "backup-server/store/SealedFile.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "backup-server/store/StoreError.h"
#include "crypto/SecureChannel.h"
#include "platform/ByteOrder.h"

namespace backup_server {
namespace {

constexpr char kMagic[4] = {'Z', 'T', 'S', 'E'};
constexpr std::uint16_t kVersion = 1;
constexpr std::string_view kFileKeyInfo = "zentrad store file v1";

[[noreturn]] void libraryFailed(const char* what) {
    ZENTRAD_THROW(StoreError, std::string("Store cipher: ") + what + " failed");
}

std::string_view bytesOf(const SealKey& key) {
    return std::string_view(reinterpret_cast<const char*>(key.data()), key.size());
}

}  // namespace

std::string SealedHeader::encode() const {
    std::string header(kMagic, 4);
    platform::appendBigEndian(header, kVersion, 2);
    platform::appendBigEndian(header, static_cast<std::uint8_t>(kind), 1);
    platform::appendBigEndian(header, 0, 1);
    platform::appendBigEndian(header, segmentBytes, 4);
    header.append(reinterpret_cast<const char*>(salt.data()), salt.size());
    return header;
}

bool SealedHeader::parse(const unsigned char* bytes, std::uint64_t sealedBytes,
                         std::uint64_t& plainBytes, std::string& problem) {
    if (sealedBytes < kSealedHeaderBytes + kSealTagBytes || std::memcmp(bytes, kMagic, 4) != 0) {
        problem = "not a sealed file";
        return false;
    }
    if (platform::loadBigEndian(bytes + 4, 2) != kVersion || (bytes[6] < 1 || bytes[6] > 4) ||
        bytes[7] != 0) {
        problem = "sealed file of an unknown version or kind";
        return false;
    }
    kind = static_cast<SealedKind>(bytes[6]);
    segmentBytes = static_cast<std::uint32_t>(platform::loadBigEndian(bytes + 8, 4));
    if (segmentBytes < 4096 || segmentBytes > (16u << 20) ||
        (segmentBytes & (segmentBytes - 1)) != 0) {
        problem = "sealed file with a segment size of " + std::to_string(segmentBytes);
        return false;
    }
    std::memcpy(salt.data(), bytes + 12, salt.size());
    std::uint64_t body = sealedBytes - kSealedHeaderBytes;
    std::uint64_t step = std::uint64_t{segmentBytes} + kSealTagBytes;
    std::uint64_t whole = (body - 1) / step;  // segments before the last
    std::uint64_t last = body - whole * step;
    if (last < kSealTagBytes || (whole > 0 && last == kSealTagBytes)) {
        problem = "sealed file of " + std::to_string(sealedBytes) + " bytes is cut short";
        return false;
    }
    plainBytes = whole * segmentBytes + (last - kSealTagBytes);
    return true;
}

std::uint64_t SealedHeader::segments(std::uint64_t plainBytes) const {
    return plainBytes == 0 ? 1 : (plainBytes + segmentBytes - 1) / segmentBytes;
}

bool looksSealed(std::string_view bytes) {
    return bytes.size() >= 4 && std::memcmp(bytes.data(), kMagic, 4) == 0;
}

std::uint64_t sealedLength(std::uint64_t plainBytes) {
    SealedHeader header;
    return kSealedHeaderBytes + plainBytes + header.segments(plainBytes) * kSealTagBytes;
}

SegmentCipher::SegmentCipher(const SealKey& storeKey, const SealedHeader& header,
                             std::string_view name)
    : header_(header.encode()), name_(name), context_(EVP_CIPHER_CTX_new()) {
    if (!context_)
        libraryFailed("cipher context");
    std::string key = crypto::hkdfSha256(
        bytesOf(storeKey),
        std::string_view(reinterpret_cast<const char*>(header.salt.data()), header.salt.size()),
        kFileKeyInfo, fileKey_.size());
    std::memcpy(fileKey_.data(), key.data(), fileKey_.size());
}

bool aes256Gcm(EVP_CIPHER_CTX* context, bool sealing, const unsigned char* key,
               const unsigned char* nonce, std::string_view aad, const unsigned char* in,
               std::size_t length, unsigned char* out, unsigned char* tag) {
    int produced = 0;
    if (EVP_CipherInit_ex(context, EVP_aes_256_gcm(), nullptr, key, nonce, sealing ? 1 : 0) != 1 ||
        EVP_CipherUpdate(context, nullptr, &produced,
                         reinterpret_cast<const unsigned char*>(aad.data()),
                         static_cast<int>(aad.size())) != 1) {
        libraryFailed("cipher set-up");
    }
    if (length > 0 && EVP_CipherUpdate(context, out, &produced, in, static_cast<int>(length)) != 1)
        libraryFailed("cipher");
    if (!sealing && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, kSealTagBytes, tag) != 1)
        libraryFailed("tag");
    int tail = 0;
    if (EVP_CipherFinal_ex(context, out + length, &tail) != 1) {
        if (!sealing)
            return false;
        libraryFailed("cipher final");
    }
    if (sealing && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, kSealTagBytes, tag) != 1)
        libraryFailed("tag");
    return true;
}

bool SegmentCipher::run(bool encrypting, std::uint64_t segment, bool last, const unsigned char* in,
                        std::size_t length, unsigned char* out, unsigned char* tag) {
    unsigned char nonce[12] = {};
    for (int i = 0; i < 8; ++i)
        nonce[4 + i] = static_cast<unsigned char>(segment >> (8 * (7 - i)));
    std::string aad = header_;
    aad.push_back(last ? 1 : 0);
    platform::appendBigEndian(aad, name_.size(), 2);
    aad += name_;
    return aes256Gcm(context_.get(), encrypting, fileKey_.data(), nonce, aad, in, length, out, tag);
}

void SegmentCipher::seal(std::uint64_t segment, bool last, const unsigned char* plain,
                         std::size_t length, unsigned char* out) {
    run(true, segment, last, plain, length, out, out + length);
}

bool SegmentCipher::open(std::uint64_t segment, bool last, const unsigned char* sealed,
                         std::size_t sealedLength, unsigned char* out) {
    if (sealedLength < kSealTagBytes)
        return false;
    std::size_t length = sealedLength - kSealTagBytes;
    unsigned char tag[kSealTagBytes];
    std::memcpy(tag, sealed + length, kSealTagBytes);
    return run(false, segment, last, sealed, length, out, tag);
}

std::string sealWhole(const SealKey& storeKey, SealedKind kind, std::string_view name,
                      std::string_view plain) {
    SealedHeader header;
    header.kind = kind;
    if (RAND_bytes(header.salt.data(), static_cast<int>(header.salt.size())) != 1)
        libraryFailed("random salt");
    SegmentCipher cipher(storeKey, header, name);
    std::string file = header.encode();
    std::uint64_t segments = header.segments(plain.size());
    file.resize(sealedLength(plain.size()));
    auto* in = reinterpret_cast<const unsigned char*>(plain.data());
    auto* out = reinterpret_cast<unsigned char*>(file.data()) + kSealedHeaderBytes;
    for (std::uint64_t i = 0; i < segments; ++i) {
        std::size_t start = static_cast<std::size_t>(i * header.segmentBytes);
        std::size_t length = std::min<std::size_t>(header.segmentBytes, plain.size() - start);
        cipher.seal(i, i + 1 == segments, in + start, length, out);
        out += length + kSealTagBytes;
    }
    return file;
}

bool openWhole(const SealKey& storeKey, SealedKind kind, std::string_view name,
               std::string_view sealed, std::string& plain, std::string& problem) {
    SealedHeader header;
    std::uint64_t plainBytes = 0;
    if (sealed.size() < kSealedHeaderBytes ||
        !header.parse(reinterpret_cast<const unsigned char*>(sealed.data()), sealed.size(),
                      plainBytes, problem)) {
        if (problem.empty())
            problem = "not a sealed file";
        return false;
    }
    if (header.kind != kind) {
        problem = "a sealed file of another kind";
        return false;
    }
    SegmentCipher cipher(storeKey, header, name);
    plain.resize(static_cast<std::size_t>(plainBytes));
    std::uint64_t segments = header.segments(plainBytes);
    for (std::uint64_t i = 0; i < segments; ++i) {
        std::size_t start = static_cast<std::size_t>(i * header.segmentBytes);
        std::size_t length = std::min<std::size_t>(header.segmentBytes, plain.size() - start);
        auto* in = reinterpret_cast<const unsigned char*>(sealed.data() + header.offsetOf(i));
        if (!cipher.open(i, i + 1 == segments, in, length + kSealTagBytes,
                         reinterpret_cast<unsigned char*>(plain.data()) + start)) {
            problem = "sealed segment " + std::to_string(i) +
                      " does not open (damaged, moved, or not this store's)";
            return false;
        }
    }
    return true;
}

}  // namespace backup_server
