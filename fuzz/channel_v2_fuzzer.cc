// fuzz-libs: blocks crypto
// Protocol version 2 as a hostile peer might send it: an encrypted message's sealed bytes,
// a sealed block record (header and data), and a record a peer sealed properly around
// data of its choosing (authenticated, but still not to be trusted: it must be inflated
// within the block's bounds). Whatever the bytes, this must end in a result or an
// exception, never in a read or write out of bounds; what was sealed must open unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "blocks/BlockRecord.h"
#include "blocks/ZlibStreams.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/SecureChannel.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size < 2 + blocks::kBlockRecordHeaderBytes)
        return 0;
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
