#include "crypto/CipherContext.h"

#include <openssl/err.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "runtime/Exceptions.h"

namespace crypto {
namespace {

// Fetched once and kept for the life of the process; a failed fetch (the legacy provider
// not loaded yet) is not remembered, so a later call can still succeed.
const EVP_CIPHER* blowfishCbc() {
    static std::atomic<EVP_CIPHER*> cached{nullptr};
    EVP_CIPHER* cipher = cached.load(std::memory_order_acquire);
    if (cipher != nullptr)
        return cipher;
    EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "BF-CBC", nullptr);
    if (fetched == nullptr) {
        ERR_clear_error();
        return nullptr;
    }
    if (!cached.compare_exchange_strong(cipher, fetched, std::memory_order_acq_rel)) {
        EVP_CIPHER_free(fetched);
        return cipher;
    }
    return fetched;
}

const unsigned char* bytesOf(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

CipherContext::CipherContext() {
    for (Chain& chain : chains_) {
        chain.context.reset(EVP_CIPHER_CTX_new());
        if (!chain.context) {
            ZENTRAD_THROW(runtime::AgentException, "error creating cipher context");
        }
    }
}

bool CipherContext::begin(const KeyMsg& key, Direction direction) {
    if (key.key().size() < kMinKeyBytes || key.key().size() > kMaxKeyBytes) {
        ZENTRAD_THROW(runtime::AgentException,
                      "invalid Blowfish key length (" + std::to_string(key.key().size()) + ")");
    }
    if (key.iv().size() != kBlockBytes) {
        ZENTRAD_THROW(runtime::AgentException,
                      "invalid Blowfish IV length (" + std::to_string(key.iv().size()) + ")");
    }
    direction_ = direction;
    Chain& chain = current();
    const bool sameKey = chain.ready && key.key() == chain.key &&
                         std::memcmp(chain.iv, key.iv().data(), kBlockBytes) == 0;
    if (sameKey && restart())
        return true;
    return setUp(chain, key, direction);
}

bool CipherContext::setUp(Chain& chain, const KeyMsg& key, Direction direction) {
    chain.ready = false;
    const int encrypt = direction == Direction::encrypt ? 1 : 0;
    const EVP_CIPHER* cipher = blowfishCbc();
    EVP_CIPHER_CTX* context = chain.context.get();
    const bool ok =
        cipher != nullptr &&
        EVP_CipherInit_ex(context, cipher, nullptr, nullptr, nullptr, encrypt) == 1 &&
        EVP_CIPHER_CTX_set_key_length(context, static_cast<int>(key.key().size())) == 1 &&
        EVP_CipherInit_ex(context, nullptr, nullptr, bytesOf(key.key()), bytesOf(key.iv()),
                          encrypt) == 1;
    if (!ok) {
        ERR_clear_error();
        return false;
    }
    std::memcpy(chain.iv, key.iv().data(), kBlockBytes);
    chain.key = key.key();
    chain.ready = true;
    return true;
}

bool CipherContext::restart() {
    Chain& chain = current();
    if (!chain.ready)
        return false;
    if (EVP_CipherInit_ex(chain.context.get(), nullptr, nullptr, nullptr, chain.iv, -1) != 1) {
        ERR_clear_error();
        return false;
    }
    return true;
}

bool CipherContext::update(const unsigned char* in, std::size_t inLength, unsigned char* out,
                           std::size_t& outLength) {
    Chain& chain = current();
    int produced = 0;
    if (!chain.ready || inLength > static_cast<std::size_t>(INT_MAX) - kBlockBytes ||
        EVP_CipherUpdate(chain.context.get(), out, &produced, in, static_cast<int>(inLength)) !=
            1 ||
        produced < 0) {
        ERR_clear_error();
        return false;
    }
    outLength = static_cast<std::size_t>(produced);
    return true;
}

bool CipherContext::finish(unsigned char* out, std::size_t& outLength) {
    Chain& chain = current();
    int produced = 0;
    if (!chain.ready || EVP_CipherFinal_ex(chain.context.get(), out, &produced) != 1 ||
        produced < 0) {
        ERR_clear_error();
        return false;
    }
    outLength = static_cast<std::size_t>(produced);
    return true;
}

}  // namespace crypto
