#include "backup-server/store/Sha256.h"

#include "backup-server/store/StoreError.h"

namespace backup_server {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
        ZENTRAD_THROW(StoreError, "SHA-256 is not available");
}

Sha256& Sha256::update(const void* data, std::size_t length) {
    if (EVP_DigestUpdate(context_.get(), data, length) != 1)
        ZENTRAD_THROW(StoreError, "SHA-256 failed");
    return *this;
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1 ||
        length != digest.size() || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        ZENTRAD_THROW(StoreError, "SHA-256 failed");
    }
    return digest;
}

Sha256Digest sha256(const void* data, std::size_t length) {
    return Sha256().update(data, length).finish();
}

std::string toHex(const Sha256Digest& digest) {
    static const char* const kDigits = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (unsigned char byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

std::uint64_t digestPrefix(const Sha256Digest& digest) {
    std::uint64_t prefix = 0;
    for (int i = 0; i < 8; ++i)
        prefix = prefix << 8 | digest[i];
    return prefix;
}

bool fromHex(const std::string& text, Sha256Digest& digest) {
    if (text.size() != digest.size() * 2)
        return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        int high = nibble(text[2 * i]);
        int low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

}  // namespace backup_server
