// Owning pointers for the OpenSSL objects the agent uses, one alias per kind, each released
// with its own free function exactly once.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <memory>

namespace crypto {

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* object) const noexcept { Free(object); }
};

namespace detail {
inline void freeBio(BIO* bio) {
    BIO_free(bio);
}
}  // namespace detail

using PKeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtxPtr =
    std::unique_ptr<EVP_CIPHER_CTX, OpenSslDeleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, detail::freeBio>>;

}  // namespace crypto
