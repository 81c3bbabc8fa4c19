#include "crypto/Envelope.h"

#include <vector>

#include "crypto/Digest.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace crypto::encryption {
namespace {

const unsigned char* bytesOf(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

std::string_view textOf(const Sha1Digest& digest) {
    return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

// Feeds one piece of the sealed plain text through the cipher, appending to out at used.
void encryptPiece(CipherContext& context, std::string_view piece, std::vector<unsigned char>& out,
                  std::size_t& used) {
    std::size_t produced = 0;
    if (!context.update(bytesOf(piece), piece.size(), out.data() + used, produced)) {
        ZENTRAD_THROW(runtime::AgentException, "error encrypting protocol message: cipher error");
    }
    used += produced;
}

// Decrypts the whole ciphertext; the result is the sealed plain text.
std::vector<unsigned char> decipher(const KeyMsg& key, CipherContext& context,
                                    std::string_view ciphertext) {
    if (ciphertext.empty() || ciphertext.size() % CipherContext::kBlockBytes != 0) {
        ZENTRAD_THROW(runtime::AgentException,
                      "final cipher error while decrypting protocol message");
    }
    if (!context.begin(key, CipherContext::Direction::decrypt)) {
        ZENTRAD_THROW(runtime::AgentException, "cipher error while decrypting protocol message");
    }
    std::vector<unsigned char> plain(ciphertext.size() + CipherContext::kBlockBytes);
    std::size_t produced = 0;
    if (!context.update(bytesOf(ciphertext), ciphertext.size(), plain.data(), produced)) {
        ZENTRAD_THROW(runtime::AgentException, "cipher error while decrypting protocol message");
    }
    std::size_t tail = 0;
    if (!context.finish(plain.data() + produced, tail)) {
        ZENTRAD_THROW(runtime::AgentException,
                      "final cipher error while decrypting protocol message");
    }
    plain.resize(produced + tail);
    return plain;
}

}  // namespace

void checkCiphertextLength(std::uint64_t length) {
    if (length > kMaxCiphertextBytes) {
        ZENTRAD_THROW(runtime::AgentException,
                      "received invalid encrypted message from host: ciphertext length (" +
                          std::to_string(length) + ") exceeds the limit");
    }
}

std::string encryptMessage(const KeyMsg& key, CipherContext& context, std::string_view message) {
    if (message.size() > kMaxMessageBytes) {
        ZENTRAD_THROW(runtime::AgentException, "protocol message too large to encrypt (" +
                                                   std::to_string(message.size()) + " bytes)");
    }
    if (!context.begin(key, CipherContext::Direction::encrypt)) {
        ZENTRAD_THROW(runtime::AgentException, "error encrypting protocol message: cipher error");
    }
    const auto digest = sha1(message);
    if (!digest)
        ZENTRAD_THROW(runtime::AgentException, "error computing SHA1 of buffer");
    std::string length;
    platform::appendU32(length, static_cast<std::uint32_t>(message.size()));

    // Every update may emit up to one block more than it was given.
    std::vector<unsigned char> out(ciphertextSize(message.size()) + 3 * CipherContext::kBlockBytes);
    std::size_t used = 0;
    encryptPiece(context, length, out, used);
    encryptPiece(context, message, out, used);
    encryptPiece(context, textOf(*digest), out, used);
    std::size_t tail = 0;
    if (!context.finish(out.data() + used, tail)) {
        ZENTRAD_THROW(runtime::AgentException,
                      "error encrypting protocol message: cipher final error");
    }
    return std::string(reinterpret_cast<const char*>(out.data()), used + tail);
}

std::string decryptMessage(const KeyMsg& key, CipherContext& context, std::string_view ciphertext) {
    checkCiphertextLength(ciphertext.size());
    const std::vector<unsigned char> plain = decipher(key, context, ciphertext);
    if (plain.size() < kEnvelopeOverhead) {
        ZENTRAD_THROW(runtime::AgentException,
                      "received invalid encrypted message from host: message too short");
    }
    const std::uint64_t length = platform::loadU32(plain.data());
    if (length + kEnvelopeOverhead != plain.size()) {
        ZENTRAD_THROW(runtime::AgentException,
                      "received invalid encrypted message from host: embedded message length (" +
                          std::to_string(length) + ") not valid");
    }
    const std::string_view message(reinterpret_cast<const char*>(plain.data()) + 4, length);
    const auto digest = sha1(message);
    if (!digest) {
        ZENTRAD_THROW(runtime::AgentException, "error computing SHA1 of message from host");
    }
    const std::string_view stored(message.data() + length, kSha1Bytes);
    if (textOf(*digest) != stored) {
        ZENTRAD_THROW(runtime::AgentException,
                      "encrypted message from host invalid, failed sha1 checksum");
    }
    return std::string(message);
}

}  // namespace crypto::encryption
