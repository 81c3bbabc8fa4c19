#include "blocks/Md5Stream.h"

#include "runtime/Exceptions.h"

namespace blocks {

Md5Stream::Md5Stream() : context_(EVP_MD_CTX_new()) {
    if (!context_)
        ZENTRAD_THROW(runtime::AgentException, "MD5 is not available");
    start();
}

void Md5Stream::start() {
    if (EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) != 1)
        ZENTRAD_THROW(runtime::AgentException, "MD5 is not available");
}

void Md5Stream::restart() {
    // No algorithm named: the context keeps the implementation it fetched at the start,
    // where naming MD5 again would look it up in the provider store every time.
    if (EVP_DigestInit_ex2(context_.get(), nullptr, nullptr) != 1)
        ZENTRAD_THROW(runtime::AgentException, "MD5 is not available");
}

void Md5Stream::update(const void* data, std::size_t length) {
    if (length != 0 && EVP_DigestUpdate(context_.get(), data, length) != 1)
        ZENTRAD_THROW(runtime::AgentException, "error computing MD5");
}

BlockDigest Md5Stream::finish() {
    BlockDigest digest{};
    unsigned int produced = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &produced) != 1 ||
        produced != digest.size()) {
        ZENTRAD_THROW(runtime::AgentException, "error computing MD5");
    }
    restart();
    return digest;
}

}  // namespace blocks
