#include "backup-server/ServerKeys.h"

#include "crypto/RsaKeyFiles.h"
#include "util/FileUtil.h"

namespace backup_server {

ServerKeys ServerKeys::loadOrCreate(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    std::filesystem::path privatePath = dir / "server.key";
    std::filesystem::path publicPath = dir / "server_public.key";
    if (!std::filesystem::exists(privatePath)) {
        auto key = crypto::RsaKey::generate();
        util::FileUtil::writeFileAtomically(privatePath, key->privatePem());
        util::FileUtil::writeFileAtomically(publicPath, key->publicPem());
        return ServerKeys(std::move(key));
    }
    return ServerKeys(crypto::Encryption::readPrivateKey(privatePath));
}

}  // namespace backup_server
