#include "crypto/RsaKey.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <climits>

#include "runtime/Exceptions.h"

namespace crypto {
namespace {

// Refuses encrypted PEM instead of prompting on the console for a pass phrase.
int refusePassPhrase(char*, int, int, void*) {
    return -1;
}

BioPtr readOnlyBio(std::string_view bytes) {
    if (bytes.size() > INT_MAX)
        return nullptr;
    return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

bool isRsa(const EVP_PKEY* key) {
    return key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1;
}

PKeyPtr readPublic(std::string_view pem) {
    BioPtr bio = readOnlyBio(pem);
    if (!bio)
        return nullptr;
    // Reads both "PUBLIC KEY" and "RSA PUBLIC KEY" blocks.
    PKeyPtr key(PEM_read_bio_PUBKEY(bio.get(), nullptr, refusePassPhrase, nullptr));
    ERR_clear_error();
    return isRsa(key.get()) ? std::move(key) : nullptr;
}

bool consistent(EVP_PKEY* key) {
    PKeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    const bool ok = context && EVP_PKEY_check(context.get()) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace

RsaKeyPtr RsaKey::generate(int bits) {
    PKeyPtr key(EVP_RSA_gen(static_cast<unsigned int>(bits)));
    if (!key) {
        ERR_clear_error();
        ZENTRAD_THROW(runtime::AgentException, "error generating new RSA key");
    }
    return std::make_shared<const RsaKey>(std::move(key), true);
}

RsaKeyPtr RsaKey::readPublicPem(std::string_view pem) {
    PKeyPtr key = readPublic(pem);
    if (!key)
        return nullptr;
    return std::make_shared<const RsaKey>(std::move(key), false);
}

RsaKeyPtr RsaKey::readPrivatePem(std::string_view pem) {
    BioPtr bio = readOnlyBio(pem);
    if (!bio)
        ZENTRAD_THROW(runtime::AgentException, "error creating private key BIO");
    PKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassPhrase, nullptr));
    ERR_clear_error();
    if (!isRsa(key.get())) {
        ZENTRAD_THROW(runtime::AgentException, "error reading private key from BIO");
    }
    if (!consistent(key.get()))
        ZENTRAD_THROW(runtime::AgentException, "RSA key invalid");
    return std::make_shared<const RsaKey>(std::move(key), true);
}

std::string RsaKey::publicPem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key_.get()) != 1) {
        ERR_clear_error();
        ZENTRAD_THROW(runtime::AgentException, "error writing RSA public key");
    }
    return bioText(bio.get());
}

std::string RsaKey::privatePem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!hasPrivate_ || !bio ||
        PEM_write_bio_PKCS8PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr,
                                      nullptr) != 1) {
        ERR_clear_error();
        ZENTRAD_THROW(runtime::AgentException, "error writing RSA private key");
    }
    return bioText(bio.get());
}

std::size_t RsaKey::size() const {
    const int bytes = EVP_PKEY_get_size(key_.get());
    return bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

bool RsaKey::samePublicKey(const RsaKey& other) const {
    const bool same = EVP_PKEY_eq(key_.get(), other.key_.get()) == 1;
    ERR_clear_error();
    return same;
}

}  // namespace crypto
