// fuzz-libs: crypto
// Arbitrary bytes against the envelope and the sealed key record, with fixed keys. The
// first byte chooses what the rest is:
//   0: ciphertext straight from a peer;
//   1: the plain text of an envelope, enciphered here so the length and digest checks
//      behind the cipher are reached;
//   2: the plain text of a key record, sealed here so the record parser is reached.
// Every input must be rejected with an exception or accepted consistently.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/CipherContext.h"
#include "crypto/CryptoLibrary.h"
#include "crypto/Envelope.h"
#include "crypto/KeyMsg.h"

namespace {

struct Fixture {
    Fixture() { crypto::CryptoLibrary::initialise(); }
    crypto::KeyMsg key{1, std::string("0123456789abcdef"), std::string("ivivivi!")};
    crypto::RsaKeyPtr rsaKey = crypto::RsaKey::generate(512);  // small, to keep the fuzzer fast
    crypto::CipherContext context;
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

std::string encipher(Fixture& f, std::string_view plain) {
    std::vector<unsigned char> out(plain.size() + crypto::CipherContext::kBlockBytes);
    std::size_t produced = 0;
    std::size_t tail = 0;
    if (!f.context.begin(f.key, crypto::CipherContext::Direction::encrypt) ||
        !f.context.update(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                          out.data(), produced) ||
        !f.context.finish(out.data() + produced, tail)) {
        __builtin_trap();
    }
    return std::string(reinterpret_cast<const char*>(out.data()), produced + tail);
}

void decryptAndCheck(Fixture& f, std::string_view ciphertext) {
    try {
        const std::string message =
            crypto::encryption::decryptMessage(f.key, f.context, ciphertext);
        // Whatever is accepted must be exactly what the same key seals.
        if (crypto::encryption::encryptMessage(f.key, f.context, message) != ciphertext) {
            __builtin_trap();
        }
    } catch (const std::exception&) {
    }
}

void openRecord(Fixture& f, std::string_view plain) {
    const std::string sealed = f.rsaKey->encrypt(plain);
    if (sealed.empty())
        return;  // longer than an RSA block holds
    try {
        const crypto::KeyMsg opened(f.rsaKey, sealed);
        if (opened.plainRecord() != plain)
            __builtin_trap();
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 4096)
        return 0;
    Fixture& f = fixture();
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            decryptAndCheck(f, rest);
            break;
        case 1:
            decryptAndCheck(f, encipher(f, rest));
            break;
        default:
            openRecord(f, rest);
            break;
    }
    return 0;
}
