#include "requests/KeysGetRequest.h"

#include "crypto/RsaKeyFiles.h"
#include "logging/Logger.h"
#include "util/FileUtil.h"
#include "winutil/AgentOptions.h"

void KeysGetRequest::execute() {
    logging::logInfo() << "Sending requested encryption keys to host";
    auto options = winutil::agentOptions();
    message().clear();
    std::string backupKey =
        util::FileUtil::readFile(options->backupKeyFile(), crypto::Encryption::kMaxKeyFileBytes);
    std::string rsaKey =
        util::FileUtil::readFile(options->rsaKeyFile(), crypto::Encryption::kMaxKeyFileBytes);
    message().write32(net::PROT_KEYS);
    message().writeString(rsaKey);
    message().writeString(backupKey);
    message().send();
}
