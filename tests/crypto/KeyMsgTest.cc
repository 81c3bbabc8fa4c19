#include "crypto/KeyMsg.h"

#include "CryptoTestSupport.h"
#include "crypto/Challenge.h"
#include "crypto/Digest.h"

namespace {

using crypto::KeyMsg;
using test::agentKey;

// A plain record with a correct digest, sealed as a peer would seal it.
std::string sealWithDigest(std::string record) {
    const auto digest = crypto::sha1(record);
    record.append(reinterpret_cast<const char*>(digest->data()), digest->size());
    return agentKey()->encrypt(record);
}

TEST(KeyMsgTest, GeneratedSizesAndRecordLayout) {
    const KeyMsg key(1, 128);
    EXPECT_EQ(key.getKey().size(), 16u);
    EXPECT_EQ(key.getIV().size(), 8u);
    const std::string record = key.plainRecord();
    ASSERT_EQ(record.size(), 50u);
    EXPECT_EQ(record.substr(0, 4), test::bytes({0, 1, 0, 16}));
    EXPECT_EQ(record.substr(4, 16), key.getKey());  // the key comes before the IV
    EXPECT_EQ(record.substr(20, 2), test::bytes({0, 8}));
    EXPECT_EQ(record.substr(22, 8), key.getIV());
    EXPECT_EQ(KeyMsg(1, 32).getKey().size(), 4u);
    EXPECT_NE(KeyMsg(1, 128).getKey(), key.getKey());
}

TEST(KeyMsgTest, InvalidSizesAreRefusedMultipleOfBytesFirst) {
    EXPECT_THROW_TEXT(KeyMsg(1, 24), "key size 24 invalid, valid sizes 32-128");
    EXPECT_THROW_TEXT(KeyMsg(1, 256), "key size 256 invalid, valid sizes 32-128");
    EXPECT_THROW_TEXT(KeyMsg(1, 33), "key length 33 invalid: must be multiple of bytes");
    EXPECT_THROW_TEXT(KeyMsg(1, 7), "key length 7 invalid: must be multiple of bytes");
}

TEST(KeyMsgTest, SealedRecordOpensToAnEqualKey) {
    const KeyMsg key(1, 128);
    const std::string sealed = key.encrypt(agentKey());
    EXPECT_EQ(sealed.size(), 128u);
    EXPECT_EQ(KeyMsg(agentKey(), sealed), key);
}

TEST(KeyMsgTest, MalformedSealedRecordsAreRefused) {
    const std::string record = KeyMsg(1, 128).clearRecord();
    EXPECT_THROW_TEXT(KeyMsg(agentKey(), sealWithDigest(record) + "x"), "RSA decrypt failed");
    EXPECT_THROW_TEXT(KeyMsg(agentKey(), std::string(128, '\x5a')), "RSA decrypt failed");
    EXPECT_THROW_TEXT(KeyMsg(agentKey(), agentKey()->encrypt(record.substr(0, 26))),
                      "ran out of data in key buffer while parsing");
    std::string plain = record;
    const auto digest = crypto::sha1(record);
    plain.append(reinterpret_cast<const char*>(digest->data()), digest->size());
    EXPECT_THROW_TEXT(KeyMsg(agentKey(), agentKey()->encrypt(plain + "z")),
                      "1 bytes of unexpected data found in session key buffer");
    plain[plain.size() - 1] ^= 1;
    EXPECT_THROW_TEXT(KeyMsg(agentKey(), agentKey()->encrypt(plain)),
                      "session key invalid, failed sha1 checksum");
}

TEST(KeyMsgTest, RecordWithLongIvIsReadAsSent) {
    // A received record keeps the type and lengths it carries.
    const std::string record = test::bytes({0, 7, 0, 4, 1, 2, 3, 4, 0, 2, 9, 9});
    const KeyMsg opened(agentKey(), sealWithDigest(record));
    EXPECT_EQ(opened, KeyMsg(7, test::bytes({1, 2, 3, 4}), test::bytes({9, 9})));
}

TEST(KeyMsgTest, ChallengeAndResponse) {
    const crypto::RsaKeyPtr serverKey = crypto::RsaKey::generate();
    const KeyMsg protocolKey(1, 128);
    // The server opens the challenge with its key and seals it back to the agent.
    const std::string challenge = crypto::handshake::sealChallenge(protocolKey, serverKey);
    const std::string response = KeyMsg(serverKey, challenge).encrypt(agentKey());
    EXPECT_TRUE(crypto::handshake::responseMatches(protocolKey, agentKey(), response));

    // The same key with another IV is a different record.
    const KeyMsg otherIv(1, protocolKey.getKey(), std::string(8, '\0'));
    EXPECT_FALSE(crypto::handshake::responseMatches(otherIv, agentKey(), response));

    const KeyMsg serverRecord(1, 64);
    const std::string answer =
        crypto::handshake::answerChallenge(agentKey(), serverKey, serverRecord.encrypt(agentKey()));
    EXPECT_EQ(KeyMsg(serverKey, answer), serverRecord);
}

}  // namespace
