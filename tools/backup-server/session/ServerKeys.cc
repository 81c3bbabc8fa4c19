#include "backup-server/session/ServerKeys.h"

#include "backup-server/store/FileModes.h"
#include "crypto/RsaKeyFiles.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"

namespace backup_server {

ServerKeys ServerKeys::load(const std::filesystem::path& dir) {
    std::filesystem::path privatePath = dir / "server.key";
    if (!std::filesystem::exists(privatePath)) {
        ZENTRAD_THROW(runtime::AgentException,
                      "No server key in " + dir.string() +
                          (std::filesystem::exists(dir) ? "" : " (the folder does not exist)") +
                          "; make one with: backup-server --keys " + dir.string() + " init-keys");
    }
    warnIfOpenToOthers(dir);
    warnIfOpenToOthers(privatePath);
    return ServerKeys(crypto::encryption::readPrivateKey(privatePath));
}

ServerKeys ServerKeys::create(const std::filesystem::path& dir) {
    std::filesystem::path privatePath = dir / "server.key";
    if (std::filesystem::exists(privatePath)) {
        ZENTRAD_THROW(runtime::AgentException,
                      dir.string() + " already holds a server key; it is kept as it is");
    }
    createPrivateFolder(dir);
    auto key = crypto::RsaKey::generate();
    util::files::writeFileAtomically(privatePath, key->privatePem(),
                                     util::files::Access::administratorsOnly);
    util::files::writeFileAtomically(dir / "server_public.key", key->publicPem());
    return ServerKeys(std::move(key));
}

}  // namespace backup_server
