// fuzz-libs: blocks crypto net util platform
// Protocol version 2 as a hostile peer might send it: an encrypted message's sealed bytes,
// a sealed block record (header and data), a record a peer sealed properly around data of
// its choosing (authenticated, but still not to be trusted: it must be inflated within the
// block's bounds), and a plain stream of sealed units, encrypted messages and raw bytes
// read as the agent reads its peer. Whatever the bytes, this must end in a result or an
// exception, never in a read or write out of bounds; what was sealed must open unchanged.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "blocks/BlockRecord.h"
#include "blocks/ZlibStreams.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/SecureChannel.h"
#include "net/EncryptedMessage.h"
#include "net/SealedUnits.h"
#include "net/TcpSocket.h"
#include "platform/ByteOrder.h"

namespace {

struct Setup {
    Setup() { crypto::CryptoLibrary::initialise(); }
    crypto::SecureChannel agent{std::string(32, 's'), std::string(32, 't'), true};
    crypto::SecureChannel server{std::string(32, 's'), std::string(32, 't'), false};
    blocks::InflateStream inflater;
};

void openMessage(Setup& setup, const std::uint8_t* data, std::size_t size) {
    std::uint64_t sequence = 0;
    try {
        setup.agent.openMessage(std::string(reinterpret_cast<const char*>(data), size), sequence);
    } catch (const std::exception&) {
    }
}

// Opens the record as the restore's receiver does and inflates what opened.
void receiveRecord(Setup& setup, const blocks::BlockRecordHeaderBytes& bytes, std::string data,
                   std::uint64_t blockSize) {
    try {
        auto header = blocks::parseSealedRecordHeader(bytes, blockSize);
        if (header.length > data.size())
            return;
        data.resize(header.length);
        crypto::BlockPlace place = blocks::sealedPlace(header, 1, 0);
        crypto::BlockSealer opener = setup.agent.blockSealer(false);
        if (!opener.open(place, reinterpret_cast<unsigned char*>(data.data()), data.size()))
            return;
        header.length = place.plainLength;
        auto block = blocks::blockFromRecord(header, blockSize, false,
                                             reinterpret_cast<const unsigned char*>(data.data()));
        block->inflate(setup.inflater);
        if (block->length() > blockSize)
            __builtin_trap();
    } catch (const std::exception&) {
    }
}

// A script of pieces, each u8 kind | u16 length | bytes: kind 0 goes raw, 1 as sealed units
// and 2 as an encrypted message, both sealed properly by the peer; the agent's stream then
// reads codes and what follows them until the bytes run out.
void readPlainStream(const std::uint8_t* data, std::size_t size) {
    int ends[2];
    if (size > 32768 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    // Both ends are in this process and the peer shuts its side once it has sent: a read
    // never waits for long.
    constexpr std::int32_t kTimeoutSeconds = 1;
    net::TcpSocket peerSocket(static_cast<platform::SocketHandle>(ends[0]), kTimeoutSeconds);
    net::TcpSocket agentSocket(static_cast<platform::SocketHandle>(ends[1]), kTimeoutSeconds);
    net::ProtocolStream peer(&peerSocket);
    net::ProtocolStream agent(&agentSocket);
    peer.setChannel(
        std::make_unique<crypto::SecureChannel>(std::string(32, 's'), std::string(32, 't'), false));
    agent.setChannel(
        std::make_unique<crypto::SecureChannel>(std::string(32, 's'), std::string(32, 't'), true));
    crypto::KeyMsg key(1, std::string(16, 'k'), std::string(8, 'i'));
    std::string wire;
    while (size >= 3) {
        std::size_t length = (std::size_t{data[1]} << 8) | data[2];
        if (length > size - 3)
            break;
        std::string_view bytes(reinterpret_cast<const char*>(data + 3), length);
        if (data[0] % 3 == 0) {
            wire += bytes;
        } else if (data[0] % 3 == 1) {
            net::appendSealedUnits(wire, *peer.channel(), bytes);
        } else {
            std::uint64_t sequence = 0;
            std::string sealed = peer.channel()->sealMessage(bytes, sequence);
            platform::appendBigEndian(wire, net::PROT_ENCRYPTED, 4);
            platform::appendBigEndian(wire, sealed.size(), 4);
            wire += sealed;
        }
        data += 3 + length;
        size -= 3 + length;
    }
    peerSocket.sendAll(wire.data(), static_cast<std::int64_t>(wire.size()));
    peerSocket.shutdownSend();
    try {
        for (int i = 0; i < 256; ++i) {
            net::Code code = agent.readCode();
            if (code == net::PROT_ENCRYPTED) {
                net::EncryptedMessage message(agent, key);
                message.receive();
            } else if (code == net::PROT_BLOCK_STREAM) {
                unsigned char record[blocks::kBlockRecordHeaderBytes];
                agent.readRawBytes(record, sizeof record);
            } else {
                agent.readString(4096);
            }
        }
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size < 2 + blocks::kBlockRecordHeaderBytes)
        return 0;
    if (data[0] % 4 == 3) {
        readPlainStream(data + 1, size - 1);
        return 0;
    }
    std::uint8_t mode = data[0] % 3;
    std::uint64_t blockSize = 512u << (data[1] % 8);
    data += 2;
    size -= 2;
    if (mode == 0) {
        openMessage(setup, data, size);
        return 0;
    }
    blocks::BlockRecordHeaderBytes header;
    std::memcpy(header.data(), data, header.size());
    std::string rest(reinterpret_cast<const char*>(data) + header.size(), size - header.size());
    if (mode == 1) {
        receiveRecord(setup, header, rest, blockSize);
        return 0;
    }
    // A peer that holds the keys seals data of its choosing at the header's place.
    if (rest.size() > blockSize)
        rest.resize(blockSize);
    std::uint32_t sealedLength = static_cast<std::uint32_t>(rest.size() + crypto::kChannelTagBytes);
    for (int i = 28; i >= 25; --i) {
        header[static_cast<std::size_t>(i)] = static_cast<unsigned char>(sealedLength);
        sealedLength >>= 8;
    }
    if (header[8] > 1)
        header[8] = 1;
    try {
        auto parsed = blocks::parseSealedRecordHeader(header, blockSize);
        std::string sealed(parsed.length, '\0');
        crypto::BlockSealer sealer = setup.server.blockSealer(true);
        sealer.seal(blocks::sealedPlace(parsed, 1, 0),
                    reinterpret_cast<const unsigned char*>(rest.data()), rest.size(),
                    reinterpret_cast<unsigned char*>(sealed.data()));
        std::string opened = sealed;
        crypto::BlockSealer opener = setup.agent.blockSealer(false);
        if (!opener.open(blocks::sealedPlace(parsed, 1, 0),
                         reinterpret_cast<unsigned char*>(opened.data()), opened.size()) ||
            opened.compare(0, rest.size(), rest) != 0) {
            __builtin_trap();
        }
        receiveRecord(setup, header, sealed, blockSize);
    } catch (const std::exception&) {
    }
    return 0;
}
