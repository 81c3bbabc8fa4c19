#include "crypto/Digest.h"

#include <openssl/evp.h>

namespace crypto {
namespace {

template <std::size_t N>
std::optional<std::array<unsigned char, N>> digest(const char* name, std::string_view data) {
    std::array<unsigned char, N> result{};
    unsigned int length = 0;
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (md == nullptr)
        return std::nullopt;
    const int ok = EVP_Digest(data.data(), data.size(), result.data(), &length, md, nullptr);
    EVP_MD_free(md);
    if (ok != 1 || length != N)
        return std::nullopt;
    return result;
}

}  // namespace

std::optional<Sha1Digest> sha1(std::string_view data) {
    return digest<kSha1Bytes>("SHA1", data);
}

std::optional<Md5Digest> md5(std::string_view data) {
    return digest<kMd5Bytes>("MD5", data);
}

}  // namespace crypto
