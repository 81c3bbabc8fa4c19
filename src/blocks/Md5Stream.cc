#include "blocks/Md5Stream.h"

#include "runtime/Exceptions.h"

namespace blocks {

Md5Stream::Md5Stream() : context_(EVP_MD_CTX_new()) {
    if (!context_)
        ZENTRAD_THROW(runtime::AgentException, "MD5 is not available");
    restart();
}

void Md5Stream::restart() {
    if (EVP_DigestInit_ex(context_.get(), EVP_md5(), nullptr) != 1)
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
