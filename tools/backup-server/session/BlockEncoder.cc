#include "backup-server/session/BlockEncoder.h"

#include "runtime/Exceptions.h"

namespace backup_server {

BlockEncoder::BlockEncoder(const RestoreOptions& options)
    : options_(options), deflate_(static_cast<int>(options.compressionLevel)) {
    if (options.encryptionType == 1) {
        key_ = options.requestKey ? options.requestKey : options.sessionKey;
        if (!key_)
            ZENTRAD_THROW(runtime::AgentException, "No key to encipher the blocks with");
    }
}

void BlockEncoder::encode(blocks::Block& block) {
    // The agent checks every block against the digest its record names. The data is what
    // the store proves (by the chunk's name); a stored digest is not, so the digest sent is
    // that of the data sent.
    block.computeDigest();
    if (options_.compressionType == 1)
        block.deflate(deflate_);
    if (key_)
        block.encrypt(*key_, cipher_);
}

}  // namespace backup_server
