#include "backup-server/BlockEncoder.h"

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
    if (options_.compressionType == 1)
        block.deflate(deflate_);
    if (key_)
        block.encrypt(*key_, cipher_);
}

}  // namespace backup_server
