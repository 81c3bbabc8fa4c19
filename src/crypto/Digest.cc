#include "crypto/Digest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <atomic>
#include <memory>

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

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// One context per thread, set up again for every digest: the pipeline digests every block
// on the thread that read it, and a context made and freed per block was two allocations
// and a provider set-up each time.
EVP_MD_CTX* threadContext() {
    thread_local std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    return context.get();
}

template <std::size_t N>
std::optional<std::array<unsigned char, N>> digest(const EVP_MD* md, std::string_view data) {
    std::array<unsigned char, N> result{};
    unsigned int length = 0;
    EVP_MD_CTX* context = threadContext();
    if (md == nullptr || context == nullptr)
        return std::nullopt;
    const bool ok = EVP_DigestInit_ex2(context, md, nullptr) == 1 &&
                    EVP_DigestUpdate(context, data.data(), data.size()) == 1 &&
                    EVP_DigestFinal_ex(context, result.data(), &length) == 1;
    if (!ok || length != N) {
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
