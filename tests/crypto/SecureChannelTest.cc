// Protocol version 2's channel: the key schedule and both seals against vectors computed
// independently (protocol2_vectors.py beside this file), and what each seal refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CryptoTestSupport.h"
#include "common/TestBytes.h"
#include "crypto/SecureChannel.h"

namespace {

using crypto::BlockPlace;
using crypto::SecureChannel;

std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

template <std::size_t N>
std::string hexOf(const std::array<unsigned char, N>& bytes) {
    return test::hex(std::string(bytes.begin(), bytes.end()));
}

std::string appendU32(std::string out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(value >> shift));
    return out;
}

// The inputs of protocol2_vectors.py.
struct Vectors : ::testing::Test {
    void SetUp() override { crypto::CryptoLibrary::initialise(); }

    std::string secret() const {
        std::string out;
        for (int i = 0; i < 32; ++i)
            out.push_back(static_cast<char>(i));
        return out;
    }
    std::string transcript() const {
        std::string out = "zentrad protocol 2";
        out = appendU32(appendU32(out, 0x00010020), 0x00020020);
        return appendU32(out, 5) + "hello";
    }
    std::string blockData() const {
        std::string out;
        for (int i = 0; i < 64; ++i)
            out.push_back(static_cast<char>((i * 7) & 0xFF));
        return out;
    }
    BlockPlace place() const {
        BlockPlace place;
        place.batch = 3;
        place.position = 2;
        place.index = 0x123456789;
        place.compressed = false;
        place.plainLength = 64;
        std::string digest = unhex("a2fcb39a253b9b785b1f97518fa37683");
        std::memcpy(place.digest.data(), digest.data(), 16);
        return place;
    }
};

TEST_F(Vectors, KeySchedulePerDirection) {
    std::string hash = crypto::sha256(transcript());
    EXPECT_EQ(test::hex(hash), "25de9826094b630e9775ea1361e6930ca429c033e5f0b2b6f64c8dfd9b465721");
    SecureChannel agent(secret(), hash, true);
    SecureChannel server(secret(), hash, false);
    EXPECT_EQ(hexOf(agent.sendKeys().key),
              "0a8215a12c3ae28734eb6bdd581e2b5e5ea063285cfe2ecbb3c00169a9e9c3c2");
    EXPECT_EQ(hexOf(agent.sendKeys().iv), "f68d372be6627e7217429805");
    EXPECT_EQ(hexOf(agent.receiveKeys().key),
              "c7634a6a6e84a656c4ae68e0b614e9d5bf899b36510bfd01937b2a30d642ce7d");
    EXPECT_EQ(hexOf(agent.receiveKeys().iv), "9a8e87a330453e0c1edcfa54");
    EXPECT_EQ(server.sendKeys().key, agent.receiveKeys().key);
    EXPECT_EQ(server.receiveKeys().iv, agent.sendKeys().iv);
}

// The second message of a direction uses sequence number 1, which is never sent.
TEST_F(Vectors, MessagesAreSealedInSequenceAndOpenOnlyInIt) {
    std::string hash = crypto::sha256(transcript());
    SecureChannel agent(secret(), hash, true);
    SecureChannel server(secret(), hash, false);
    std::uint64_t sequence = 9;
    std::string first = agent.sealMessage("first", sequence);
    EXPECT_EQ(sequence, 0u);
    std::string second = agent.sealMessage(unhex("e1e7e5f10001"), sequence);
    EXPECT_EQ(sequence, 1u);
    EXPECT_EQ(test::hex(second), "35341df14b2d016d5c37a0d52ebbd8c984a735c5e431");

    // Out of order (a replay or a drop looks the same), edited, cut short: refused.
    EXPECT_THROW_MESSAGE(server.openMessage(second, sequence),
                         "Secure channel: message 0 is not the next message the peer sealed");
    std::string edited = first;
    edited[0] = static_cast<char>(edited[0] ^ 1);
    EXPECT_THROW_MESSAGE(server.openMessage(edited, sequence),
                         "Secure channel: message 0 is not the next message");
    EXPECT_THROW_MESSAGE(server.openMessage(first.substr(0, 10), sequence),
                         "Secure channel: message of 10 bytes is shorter than its tag");
    // A message sealed the other way round is not one of this direction's.
    std::string reflected = server.sealMessage("first", sequence);
    EXPECT_THROW_MESSAGE(server.openMessage(reflected, sequence),
                         "Secure channel: message 0 is not the next message");

    EXPECT_EQ(server.openMessage(first, sequence), "first");
    EXPECT_EQ(sequence, 0u);
    EXPECT_EQ(server.openMessage(second, sequence), unhex("e1e7e5f10001"));
    EXPECT_THROW_MESSAGE(server.openMessage(second, sequence),
                         "Secure channel: message 2 is not the next");
}

TEST_F(Vectors, BlockRecordSealAndItsAssociatedData) {
    SecureChannel server(secret(), crypto::sha256(transcript()), false);
    server.setRequest(7);
    EXPECT_EQ(test::hex(crypto::blockAssociatedData(7, place())),
              "000000000000000700000000000000030000000200000001234567890000000040a2fcb39a253b9b"
              "785b1f97518fa37683");
    crypto::BlockSealer sealer = server.blockSealer(true);
    std::string data = blockData();
    std::string sealed(data.size() + crypto::kChannelTagBytes, '\0');
    sealer.seal(place(), reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                reinterpret_cast<unsigned char*>(sealed.data()));
    EXPECT_EQ(test::hex(sealed),
              "cb480282192b5f0ac5310099aefa9fb9e0cd3b8684e1177893762961ed61b28eb62cf0c28789a98b2b"
              "a4b5d2cd422bf632eaf1dc878f49ec92a03dbcf5c5fe3f82eb0e61ca729f7e6e8bf89c1d15aa3c");
}

// Every field bound into a record's seal: a record moved to another batch, position or
// request, relabelled with another index, flag, length or digest, edited, or sealed in
// another session does not open.
TEST_F(Vectors, BlockRecordOpensOnlyAtItsPlaceInItsRequestAndSession) {
    std::string hash = crypto::sha256(transcript());
    SecureChannel agent(secret(), hash, true);
    SecureChannel server(secret(), hash, false);
    server.setRequest(7);
    agent.setRequest(7);
    std::string data = blockData();
    std::string sealed(data.size() + crypto::kChannelTagBytes, '\0');
    server.blockSealer(true).seal(place(), reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), reinterpret_cast<unsigned char*>(sealed.data()));
    auto opens = [&](const SecureChannel& receiver, BlockPlace at, std::string bytes) {
        crypto::BlockSealer opener = receiver.blockSealer(false);
        bool opened = opener.open(at, reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
        return opened && bytes.substr(0, data.size()) == data;
    };
    EXPECT_TRUE(opens(agent, place(), sealed));

    std::vector<std::pair<const char*, BlockPlace>> moved;
    auto change = [&](const char* name, auto edit) {
        BlockPlace at = place();
        edit(at);
        moved.emplace_back(name, at);
    };
    change("batch", [](BlockPlace& at) { ++at.batch; });
    change("position", [](BlockPlace& at) { at.position = 0; });
    change("index", [](BlockPlace& at) { ++at.index; });
    change("compressed", [](BlockPlace& at) { at.compressed = true; });
    change("length", [](BlockPlace& at) { --at.plainLength; });
    change("digest", [](BlockPlace& at) { at.digest[15] ^= 1; });
    for (const auto& [name, at] : moved)
        EXPECT_FALSE(opens(agent, at, sealed)) << name;

    std::string edited = sealed;
    edited[20] = static_cast<char>(edited[20] ^ 0x80);
    EXPECT_FALSE(opens(agent, place(), edited));
    EXPECT_FALSE(opens(agent, place(), sealed.substr(0, sealed.size() - 1)));

    agent.setRequest(8);
    EXPECT_FALSE(opens(agent, place(), sealed)) << "another request";
    agent.setRequest(7);
    std::string otherSecret = secret();
    otherSecret[0] = 'x';
    SecureChannel earlierSession(otherSecret, hash, true);
    earlierSession.setRequest(7);
    EXPECT_FALSE(opens(earlierSession, place(), sealed)) << "another session";
    SecureChannel otherTranscript(secret(), crypto::sha256(transcript() + "!"), true);
    otherTranscript.setRequest(7);
    EXPECT_FALSE(opens(otherTranscript, place(), sealed)) << "another handshake";
}

}  // namespace
