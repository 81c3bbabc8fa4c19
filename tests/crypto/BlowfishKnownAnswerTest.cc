// Blowfish-CBC against a published-style known answer: proves the cipher is really
// available in this build (in a static Windows executable it must be compiled into the
// library, as there is no provider module on disk to load) and that key, IV and padding
// reach it unchanged.
#include <string>

#include "CryptoTestSupport.h"
#include "crypto/CipherContext.h"
#include "crypto/KeyMsg.h"

namespace {

using crypto::CipherContext;

std::string hex(const std::string& bytes) {
    static const char* const kDigits = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : bytes) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 15]);
    }
    return out;
}

std::string run(const crypto::KeyMsg& key, CipherContext::Direction direction,
                const std::string& in) {
    CipherContext context;
    EXPECT_TRUE(context.begin(key, direction));
    std::string out(in.size() + CipherContext::kBlockBytes, '\0');
    auto* buffer = reinterpret_cast<unsigned char*>(out.data());
    std::size_t produced = 0;
    std::size_t tail = 0;
    EXPECT_TRUE(context.update(reinterpret_cast<const unsigned char*>(in.data()), in.size(), buffer,
                               produced));
    EXPECT_TRUE(context.finish(buffer + produced, tail));
    out.resize(produced + tail);
    return out;
}

TEST(BlowfishKnownAnswer, CbcWithPaddingMatchesTheReferenceCiphertext) {
    crypto::CryptoLibrary::initialise();
    std::string key;
    for (int i = 0; i < 16; ++i)
        key.push_back(static_cast<char>(i));
    const std::string iv = test::bytes({1, 2, 3, 4, 5, 6, 7, 8});
    const crypto::KeyMsg record(crypto::KeyMsg::kGeneratedType, key, iv);
    const std::string plain = "Hello Blowfish CBC test 123";

    const std::string cipher = run(record, CipherContext::Direction::encrypt, plain);
    EXPECT_EQ(hex(cipher), "850abcfef39f31880d9f7978a32d9d06f20ca74ede40485f5bdc3be62fa1fc73");
    EXPECT_EQ(run(record, CipherContext::Direction::decrypt, cipher), plain);
}

}  // namespace
