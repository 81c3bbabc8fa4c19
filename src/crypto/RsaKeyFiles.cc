#include "crypto/RsaKeyFiles.h"

#include "runtime/Exceptions.h"
#include "util/FileUtil.h"
#include "util/UtilException.h"

namespace crypto::encryption {
namespace {

void saveKeyText(const std::filesystem::path& path, const std::string& text) {
    try {
        util::files::writeFileAtomically(path, text, util::files::Access::administratorsOnly);
    } catch (const util::UtilException&) {
        ZENTRAD_THROW(AgentFileException, "error saving new RSA key to", path.string());
    }
}

}  // namespace

void generateRsaKeys(const std::filesystem::path& privateKeyPath,
                     const std::filesystem::path& publicKeyPath) {
    const RsaKeyPtr key = RsaKey::generate(RsaKey::kDefaultBits);
    saveKeyText(privateKeyPath, key->privatePem());
    writePublicKeyFile(*key, publicKeyPath);
}

void writePublicKeyFile(const RsaKey& key, const std::filesystem::path& publicKeyPath) {
    saveKeyText(publicKeyPath, key.publicPem());
}

RsaKeyPtr readPrivateKey(const std::filesystem::path& path) {
    return RsaKey::readPrivatePem(util::files::readFile(path, kMaxKeyFileBytes));
}

}  // namespace crypto::encryption
