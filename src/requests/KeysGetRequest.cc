#include "requests/KeysGetRequest.h"

#include "crypto/RsaKeyFiles.h"
#include "logging/Logger.h"
#include "util/FileUtil.h"

void KeysGetRequest::execute() {
    logging::logInfo() << "Sending requested encryption keys to host";
    const crypto::Encryption::KeyFilePaths& keyFiles = context().keyFiles;
    message().clear();
    std::string backupKey =
        util::FileUtil::readFile(keyFiles.sessionKey, crypto::Encryption::kMaxKeyFileBytes);
    std::string rsaKey =
        util::FileUtil::readFile(keyFiles.privateKey, crypto::Encryption::kMaxKeyFileBytes);
    message().write32(net::PROT_KEYS);
    message().writeString(rsaKey);
    message().writeString(backupKey);
    message().send();
}
