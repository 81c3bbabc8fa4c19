// Enciphering and deciphering block data: Blowfish-CBC with the request's key and IV,
// standard padding, every block a chain of its own.
#include "blocks/Block.h"
#include "blocks/BufferPool.h"
#include "runtime/Exceptions.h"

namespace blocks {

void Block::encrypt(const crypto::KeyMsg& key, crypto::CipherContext& context) {
    if (encrypted_)
        return;
    crypt(key, context, true);
    encrypted_ = true;
}

void Block::decrypt(const crypto::KeyMsg& key, crypto::CipherContext& context) {
    if (!encrypted_)
        return;
    crypt(key, context, false);
    encrypted_ = false;
}

void Block::crypt(const crypto::KeyMsg& key, crypto::CipherContext& context, bool encrypting) {
    const char* updateError = encrypting ? "error in encrypt update" : "error in decrypt update";
    const char* finalError = encrypting ? "error in encrypt update" : "error in decrypt final";
    const char* tooLarge =
        encrypting ? "encrypted data larger than expected" : "decrypted data larger than expected";
    auto direction = encrypting ? crypto::CipherContext::Direction::encrypt
                                : crypto::CipherContext::Direction::decrypt;
    if (!context.begin(key, direction)) {
        ZENTRAD_THROW(runtime::AgentException,
                      encrypting ? "error in encrypt init" : "error in decrypt init");
    }
    // Update never yields more than its input, final at most one block: length + 8 suffices.
    // Deciphering yields less than it reads, block by block behind the input, so it works in
    // place and needs no buffer.
    std::uint64_t limit = encrypting ? size_ + kCipherOverhead : size_;
    // Enciphering (the backup) takes a pooled buffer of the one capacity every block of
    // the volume fits (length never exceeds the size).
    BlockBuffer out =
        encrypting ? blockBuffers().take(size_ + kCipherOverhead)
        : data_    ? data_
                   : std::make_shared_for_overwrite<unsigned char[]>(length_ + kCipherOverhead);
    std::size_t produced = 0;
    if (!context.update(data_.get(), length_, out.get(), produced))
        ZENTRAD_THROW(runtime::AgentException, updateError);
    if (produced > length_)
        ZENTRAD_THROW(runtime::AgentException, tooLarge);
    std::size_t last = 0;
    if (!context.finish(out.get() + produced, last))
        ZENTRAD_THROW(runtime::AgentException, finalError);
    if (produced + last > limit)
        ZENTRAD_THROW(runtime::AgentException, tooLarge);
    replaceData(std::move(out), produced + last);
}

}  // namespace blocks
