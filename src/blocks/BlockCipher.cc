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
    // place and needs no buffer. Enciphering works in place as well when the padding fits
    // behind the data (CBC reads each 8 bytes before it writes them); otherwise (the run's
    // raw blocks) it takes a pooled buffer of the one capacity every block of the volume
    // fits (length never exceeds the size).
    std::uint64_t limit = encrypting ? size_ + kCipherOverhead : size_;
    bool inPlace = encrypting ? encipherInPlace() : data_ != nullptr;
    std::uint64_t capacity = inPlace      ? capacity_
                             : encrypting ? size_ + kCipherOverhead
                                          : length_ + kCipherOverhead;
    BlockBuffer out = inPlace      ? data_
                      : encrypting ? blockBuffers().take(capacity)
                                   : std::make_shared_for_overwrite<unsigned char[]>(capacity);
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
    replaceData(std::move(out), produced + last, capacity);
}

}  // namespace blocks
