// Blowfish-CBC through the EVP interface, with the key and IV of a KeyMsg and the standard
// block padding (1 to 8 bytes). One context belongs to one thread at a time; it is
// re-initialised for every message or block rather than shared.
//
// Interface note: get() (the raw EVP context) is gone; a context now holds one set-up
// chain per direction, so there is no single raw context to hand out.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <string>

#include "crypto/KeyMsg.h"
#include "crypto/OpenSslPtr.h"

namespace crypto {

class CipherContext {
  public:
    static constexpr std::size_t kBlockBytes = 8;
    // Blowfish takes 32- to 448-bit keys.
    static constexpr std::size_t kMinKeyBytes = 4;
    static constexpr std::size_t kMaxKeyBytes = 56;

    enum class Direction { encrypt, decrypt };

    // Throws runtime::AgentException when the context cannot be allocated.
    CipherContext();

    // Starts a new CBC chain: Blowfish-CBC with key.key() (the key length set to its byte
    // count) and key.iv(). Blowfish's key schedule is costly (tens of microseconds), so each
    // direction keeps its own set-up context: when key and IV equal those of that
    // direction's previous begin only the chain is restarted. Throws
    // runtime::AgentException, naming the length, before touching the cipher when the
    // record's key or IV does not fit Blowfish (keys from a peer may have any length).
    // Returns false when the cipher library refuses (for instance the legacy provider is
    // not loaded).
    bool begin(const KeyMsg& key, Direction direction);

    // Starts a new CBC chain in the current direction with the key and IV of the last
    // successful begin. Returns false on a library error or without a prior begin.
    bool restart();

    // EVP_CipherUpdate: out must hold inLength + kBlockBytes bytes. Returns false on error.
    bool update(const unsigned char* in, std::size_t inLength, unsigned char* out,
                std::size_t& outLength);
    // EVP_CipherFinal_ex: out must hold kBlockBytes bytes. Returns false on error (on
    // decryption: a length that is not a multiple of 8, or bad padding).
    bool finish(unsigned char* out, std::size_t& outLength);

  private:
    struct Chain {
        CipherCtxPtr context;
        unsigned char iv[kBlockBytes] = {};
        std::string key;
        bool ready = false;
    };

    Chain& current() { return chains_[direction_ == Direction::encrypt ? 0 : 1]; }
    bool setUp(Chain& chain, const KeyMsg& key, Direction direction);

    Chain chains_[2];
    Direction direction_ = Direction::encrypt;
};

}  // namespace crypto
