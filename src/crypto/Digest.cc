#include "crypto/Digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <atomic>

namespace crypto {
namespace {

// Fetched once and kept for the life of the process: a fetch looks the algorithm up in the
// provider store under a lock, which cost as much as digesting a cluster. A failed fetch is
// not remembered, so a later call can still succeed.
template <int Which>
const EVP_MD* fetchedDigest(const char* name) {
    static std::atomic<EVP_MD*> cached{nullptr};
    EVP_MD* md = cached.load(std::memory_order_acquire);
    if (md != nullptr)
        return md;
    EVP_MD* fetched = EVP_MD_fetch(nullptr, name, nullptr);
    if (fetched == nullptr) {
        ERR_clear_error();
        return nullptr;
    }
    if (!cached.compare_exchange_strong(md, fetched, std::memory_order_acq_rel)) {
        EVP_MD_free(fetched);
        return md;
    }
    return fetched;
}

template <std::size_t N>
std::optional<std::array<unsigned char, N>> digest(const EVP_MD* md, std::string_view data) {
    std::array<unsigned char, N> result{};
    unsigned int length = 0;
    if (md == nullptr)
        return std::nullopt;
    // A context per call: one kept per thread would be freed at the thread's exit, after
    // the library may have let go of that thread's state (the Windows build crashed so).
    if (EVP_Digest(data.data(), data.size(), result.data(), &length, md, nullptr) != 1 ||
        length != N) {
        ERR_clear_error();
        return std::nullopt;
    }
    return result;
}

}  // namespace

std::optional<Sha1Digest> sha1(std::string_view data) {
    return digest<kSha1Bytes>(fetchedDigest<1>("SHA1"), data);
}

std::optional<Md5Digest> md5(std::string_view data) {
    return digest<kMd5Bytes>(fetchedDigest<5>("MD5"), data);
}

}  // namespace crypto
