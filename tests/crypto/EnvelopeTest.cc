#include "crypto/Envelope.h"

#include <string>

#include "CryptoTestSupport.h"
#include "crypto/Digest.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace {

using crypto::CipherContext;
using crypto::KeyMsg;
namespace encryption = crypto::encryption;

std::string encipherRaw(const KeyMsg& key, const std::string& plain) {
    CipherContext context;
    EXPECT_TRUE(context.begin(key, CipherContext::Direction::encrypt));
    std::string out(plain.size() + 16, '\0');
    auto* buffer = reinterpret_cast<unsigned char*>(out.data());
    std::size_t produced = 0;
    std::size_t tail = 0;
    EXPECT_TRUE(context.update(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                               buffer, produced));
    EXPECT_TRUE(context.finish(buffer + produced, tail));
    out.resize(produced + tail);
    return out;
}

// A sealed plain text whose length field and digest the test chooses.
std::string sealedPlain(std::uint32_t lengthField, const std::string& message) {
    std::string plain;
    platform::appendU32(plain, lengthField);
    plain += message;
    const auto digest = crypto::sha1(message);
    plain.append(reinterpret_cast<const char*>(digest->data()), digest->size());
    return plain;
}

class EnvelopeTest : public ::testing::Test {
  protected:
    std::string decrypt(const std::string& ciphertext) {
        return encryption::decryptMessage(key_, context_, ciphertext);
    }
    KeyMsg key_{1, 128};
    CipherContext context_;
};

TEST(BlowfishTest, KnownAnswer) {
    const KeyMsg key(1, test::bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),
                     test::bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    const std::string cipher = encipherRaw(key, "Hello Blowfish CBC test 123");
    const std::string expected =
        test::bytes({0x85, 0x0a, 0xbc, 0xfe, 0xf3, 0x9f, 0x31, 0x88, 0x0d, 0x9f, 0x79,
                     0x78, 0xa3, 0x2d, 0x9d, 0x06, 0xf2, 0x0c, 0xa7, 0x4e, 0xde, 0x40,
                     0x48, 0x5f, 0x5b, 0xdc, 0x3b, 0xe6, 0x2f, 0xa1, 0xfc, 0x73});
    EXPECT_EQ(cipher, expected);

    // A restarted chain gives the same ciphertext as a fresh one.
    CipherContext context;
    ASSERT_TRUE(context.begin(key, CipherContext::Direction::encrypt));
    unsigned char out[48];
    std::size_t produced = 0;
    std::size_t tail = 0;
    ASSERT_TRUE(context.update(reinterpret_cast<const unsigned char*>("abc"), 3, out, produced));
    ASSERT_TRUE(context.restart());
    const std::string text = "Hello Blowfish CBC test 123";
    ASSERT_TRUE(context.update(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                               out, produced));
    ASSERT_TRUE(context.finish(out + produced, tail));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), produced + tail), expected);
}

TEST(BlowfishTest, KeysThatDoNotFitBlowfishAreRefused) {
    CipherContext context;
    const auto encrypt = CipherContext::Direction::encrypt;
    EXPECT_THROW_TEXT(context.begin(KeyMsg(1, "", std::string(8, 'i')), encrypt),
                      "invalid Blowfish key length (0)");
    EXPECT_THROW_TEXT(context.begin(KeyMsg(1, std::string(16, 'k'), "short"), encrypt),
                      "invalid Blowfish IV length (5)");
}

TEST_F(EnvelopeTest, SizesAndRoundTrip) {
    for (const auto& [length, expected] :
         {std::pair{0u, 32u}, {9u, 40u}, {16u, 48u}, {7u, 32u}, {8u, 40u}}) {
        const std::string message(length, 'm');
        const std::string cipher = encryption::encryptMessage(key_, context_, message);
        EXPECT_EQ(cipher.size(), expected) << length;
        EXPECT_EQ(cipher.size(), encryption::ciphertextSize(length));
        EXPECT_EQ(decrypt(cipher), message);
    }
    const std::string big(100000, '\xa5');
    EXPECT_EQ(decrypt(encryption::encryptMessage(key_, context_, big)), big);
}

TEST_F(EnvelopeTest, LengthErrors) {
    const std::string cipher = encryption::encryptMessage(key_, context_, "hello");
    EXPECT_THROW_TEXT(decrypt(cipher.substr(0, 31)),
                      "final cipher error while decrypting protocol message");
    EXPECT_THROW_TEXT(decrypt(""), "final cipher error while decrypting protocol message");
    EXPECT_THROW_TEXT(decrypt(encipherRaw(key_, std::string(16, '\0'))),
                      "received invalid encrypted message from host: message too short");
    EXPECT_THROW_TEXT(decrypt(encipherRaw(key_, sealedPlain(10, "123456789"))),
                      "received invalid encrypted message from host: embedded message length "
                      "(10) not valid");
    EXPECT_THROW_TEXT(decrypt(encipherRaw(key_, sealedPlain(0xFFFFFFFF, "x"))),
                      "received invalid encrypted message from host: embedded message length "
                      "(4294967295) not valid");
    EXPECT_THROW_TEXT(encryption::checkCiphertextLength(encryption::kMaxCiphertextBytes + 8ull),
                      "received invalid encrypted message from host: ciphertext length (16777224) "
                      "exceeds the limit");
}

TEST_F(EnvelopeTest, WrongDigestIsRefused) {
    std::string plain = sealedPlain(3, "abc");
    plain[5] ^= 0x40;  // the message no longer matches its digest
    EXPECT_THROW_TEXT(decrypt(encipherRaw(key_, plain)),
                      "encrypted message from host invalid, failed sha1 checksum");
}

TEST_F(EnvelopeTest, EveryFlippedByteIsDetected) {
    const std::string cipher = encryption::encryptMessage(key_, context_, "request body 1234");
    for (std::size_t i = 0; i < cipher.size(); ++i) {
        std::string damaged = cipher;
        damaged[i] ^= 0x01;
        EXPECT_THROW(decrypt(damaged), runtime::AgentException) << "byte " << i;
    }
    // A context that has just refused a message still decrypts the next good one.
    EXPECT_EQ(decrypt(cipher), "request body 1234");
}

}  // namespace
