// PKCS #1 v1.5 encryption and decryption with an RsaKey.
#include <openssl/err.h>
#include <openssl/rsa.h>

#include <vector>

#include "crypto/RsaKey.h"

namespace crypto {
namespace {

PKeyCtxPtr paddedContext(EVP_PKEY* key, int (*init)(EVP_PKEY_CTX*)) {
    PKeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!context || init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
        return nullptr;
    }
    return context;
}

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

std::string RsaKey::encrypt(std::string_view plain) const {
    const std::size_t blockBytes = size();
    if (blockBytes < kPkcs1Overhead || plain.size() > blockBytes - kPkcs1Overhead)
        return {};
    PKeyCtxPtr context = paddedContext(key_.get(), EVP_PKEY_encrypt_init);
    std::vector<unsigned char> out(blockBytes);
    std::size_t outLength = out.size();
    if (!context || EVP_PKEY_encrypt(context.get(), out.data(), &outLength, bytesOf(plain),
                                     plain.size()) != 1) {
        ERR_clear_error();
        return {};
    }
    return std::string(reinterpret_cast<const char*>(out.data()), outLength);
}

bool RsaKey::decrypt(std::string_view sealed, std::string& plain) const {
    // Only whole RSA blocks can be decrypted; checking first keeps odd lengths from a peer
    // away from the library.
    if (!hasPrivate_ || sealed.size() != size())
        return false;
    PKeyCtxPtr context = paddedContext(key_.get(), EVP_PKEY_decrypt_init);
    std::vector<unsigned char> out(size());
    std::size_t outLength = out.size();
    if (!context || EVP_PKEY_decrypt(context.get(), out.data(), &outLength, bytesOf(sealed),
                                     sealed.size()) != 1) {
        ERR_clear_error();
        return false;
    }
    plain.assign(reinterpret_cast<const char*>(out.data()), outLength);
    return true;
}

}  // namespace crypto
