#include "crypto/SecureChannel.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstring>

#include "runtime/Exceptions.h"

namespace crypto {
namespace {

using KdfPtr = std::unique_ptr<EVP_KDF, OpenSslDeleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, OpenSslDeleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

[[noreturn]] void libraryFailed(const char* what) {
    ZENTRAD_THROW(runtime::AgentException, std::string("Secure channel: ") + what + " failed");
}

void appendNumber(std::string& out, std::uint64_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

DirectionKeys directionKeys(std::string_view secret, std::string_view salt, std::string_view info) {
    std::string bytes = hkdfSha256(secret, salt, info, kChannelKeyBytes + kChannelIvBytes);
    DirectionKeys keys;
    std::memcpy(keys.key.data(), bytes.data(), kChannelKeyBytes);
    std::memcpy(keys.iv.data(), bytes.data() + kChannelKeyBytes, kChannelIvBytes);
    return keys;
}

// IV XOR (high u32 | low u64), big-endian.
std::array<unsigned char, kChannelIvBytes> nonceFor(const DirectionKeys& keys, std::uint32_t high,
                                                    std::uint64_t low) {
    std::array<unsigned char, kChannelIvBytes> nonce = keys.iv;
    for (int i = 0; i < 4; ++i)
        nonce[i] ^= static_cast<unsigned char>(high >> (8 * (3 - i)));
    for (int i = 0; i < 8; ++i)
        nonce[4 + i] ^= static_cast<unsigned char>(low >> (8 * (7 - i)));
    return nonce;
}

CipherCtxPtr newContext() {
    CipherCtxPtr context(EVP_CIPHER_CTX_new());
    if (!context)
        libraryFailed("cipher context");
    return context;
}

// Seals or opens one record in place or into out. Returns false only for a record that
// fails authentication.
bool gcm(EVP_CIPHER_CTX* context, bool encrypting, const DirectionKeys& keys,
         const std::array<unsigned char, kChannelIvBytes>& nonce, std::string_view aad,
         const unsigned char* in, std::size_t length, unsigned char* out, unsigned char* tag) {
    if (EVP_CipherInit_ex(context, EVP_aes_256_gcm(), nullptr, keys.key.data(), nonce.data(),
                          encrypting ? 1 : 0) != 1) {
        libraryFailed("cipher set-up");
    }
    int produced = 0;
    if (!aad.empty() && EVP_CipherUpdate(context, nullptr, &produced,
                                         reinterpret_cast<const unsigned char*>(aad.data()),
                                         static_cast<int>(aad.size())) != 1) {
        libraryFailed("associated data");
    }
    if (length > 0 && EVP_CipherUpdate(context, out, &produced, in, static_cast<int>(length)) != 1)
        libraryFailed("cipher");
    if (!encrypting &&
        EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, kChannelTagBytes, tag) != 1)
        libraryFailed("tag");
    int last = 0;
    if (EVP_CipherFinal_ex(context, out + length, &last) != 1) {
        if (!encrypting)
            return false;
        libraryFailed("cipher final");
    }
    if (encrypting &&
        EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, kChannelTagBytes, tag) != 1)
        libraryFailed("tag");
    return true;
}

}  // namespace

std::string hkdfSha256(std::string_view secret, std::string_view salt, std::string_view info,
                       std::size_t length) {
    KdfPtr kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf)
        libraryFailed("HKDF fetch");
    KdfCtxPtr context(EVP_KDF_CTX_new(kdf.get()));
    if (!context)
        libraryFailed("HKDF context");
    char digest[] = "SHA256";
    OSSL_PARAM params[5];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_KEY, const_cast<char*>(secret.data()), secret.size());
    if (!salt.empty()) {
        params[n++] = OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()), salt.size());
    }
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                                    const_cast<char*>(info.data()), info.size());
    params[n] = OSSL_PARAM_construct_end();
    std::string out(length, '\0');
    if (EVP_KDF_derive(context.get(), reinterpret_cast<unsigned char*>(out.data()), length,
                       params) != 1) {
        libraryFailed("HKDF");
    }
    return out;
}

std::string sha256(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        libraryFailed("SHA-256");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string blockAssociatedData(std::uint64_t request, const BlockPlace& place) {
    std::string aad;
    aad.reserve(49);
    appendNumber(aad, request, 8);
    appendNumber(aad, place.batch, 8);
    appendNumber(aad, place.position, 4);
    appendNumber(aad, place.index, 8);
    appendNumber(aad, place.compressed ? 1 : 0, 1);
    appendNumber(aad, place.plainLength, 4);
    aad.append(reinterpret_cast<const char*>(place.digest.data()), place.digest.size());
    return aad;
}

BlockSealer::BlockSealer(const DirectionKeys& direction, std::uint64_t request)
    : request_(request), context_(newContext()) {
    std::string info("zentrad v2 blocks");
    appendNumber(info, request, 8);
    keys_ = directionKeys(
        std::string_view(reinterpret_cast<const char*>(direction.key.data()), kChannelKeyBytes), {},
        info);
}

void BlockSealer::seal(const BlockPlace& place, const unsigned char* data, std::size_t length,
                       unsigned char* out) {
    gcm(context_.get(), true, keys_, nonceFor(keys_, place.position, place.batch),
        blockAssociatedData(request_, place), data, length, out, out + length);
}

bool BlockSealer::open(const BlockPlace& place, unsigned char* data, std::size_t sealedLength) {
    if (sealedLength < kChannelTagBytes || place.plainLength != sealedLength - kChannelTagBytes)
        return false;
    std::size_t length = sealedLength - kChannelTagBytes;
    return gcm(context_.get(), false, keys_, nonceFor(keys_, place.position, place.batch),
               blockAssociatedData(request_, place), data, length, data, data + length);
}

SecureChannel::SecureChannel(std::string_view secret, std::string_view transcriptHash,
                             bool agentSide)
    : sealContext_(newContext()), openContext_(newContext()) {
    DirectionKeys agentToServer = directionKeys(secret, transcriptHash, kAgentToServer);
    DirectionKeys serverToAgent = directionKeys(secret, transcriptHash, kServerToAgent);
    send_ = agentSide ? agentToServer : serverToAgent;
    receive_ = agentSide ? serverToAgent : agentToServer;
}

std::string SecureChannel::sealMessage(std::string_view plain, std::uint64_t& sequence) {
    sequence = sent_++;
    std::string sealed(plain.size() + kChannelTagBytes, '\0');
    auto* out = reinterpret_cast<unsigned char*>(sealed.data());
    gcm(sealContext_.get(), true, send_, nonceFor(send_, 0, sequence), {},
        reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), out,
        out + plain.size());
    return sealed;
}

std::string SecureChannel::openMessage(std::string_view sealed, std::uint64_t& sequence) {
    if (sealed.size() < kChannelTagBytes) {
        ZENTRAD_THROW(runtime::AgentException, "Secure channel: message of " +
                                                   std::to_string(sealed.size()) +
                                                   " bytes is shorter than its tag");
    }
    sequence = received_;
    std::size_t length = sealed.size() - kChannelTagBytes;
    std::string plain(sealed.substr(0, length));
    std::array<unsigned char, kChannelTagBytes> tag{};
    std::memcpy(tag.data(), sealed.data() + length, tag.size());
    auto* data = reinterpret_cast<unsigned char*>(plain.data());
    if (!gcm(openContext_.get(), false, receive_, nonceFor(receive_, 0, sequence), {}, data, length,
             data, tag.data())) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Secure channel: message " + std::to_string(sequence) +
                          " is not the next message the peer sealed in this session");
    }
    ++received_;
    return plain;
}

}  // namespace crypto
