#include "requests/KeysGetRequest.h"

#include "crypto/RsaKeyFiles.h"
#include "logging/Logger.h"
#include "util/FileUtil.h"

namespace requests {

void KeysGetRequest::execute() {
    logging::logInfo() << "Sending requested encryption keys to host";
    const crypto::encryption::KeyFilePaths& keyFiles = context().keyFiles;
    message().clear();
    std::string backupKey =
        util::files::readFile(keyFiles.sessionKey, crypto::encryption::kMaxKeyFileBytes);
    std::string rsaKey =
        util::files::readFile(keyFiles.privateKey, crypto::encryption::kMaxKeyFileBytes);
    message().write32(net::PROT_KEYS);
    message().writeString(rsaKey);
    message().writeString(backupKey);
    message().send();
}

}  // namespace requests
