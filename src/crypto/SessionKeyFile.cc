#include "crypto/SessionKeyFile.h"

#include <fstream>
#include <sstream>

#include "crypto/RsaKeyFiles.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"
#include "util/UtilException.h"

namespace crypto::encryption {

void createSessionKey(std::uint16_t type, std::uint16_t keyBits, std::ostream& out,
                      const RsaKeyPtr& rsaKey) {
    const std::string sealed = KeyMsg(type, keyBits).encrypt(rsaKey);
    std::string field;
    platform::appendU16(field, static_cast<std::uint16_t>(sealed.size()));
    field += sealed;
    out.write(field.data(), static_cast<std::streamsize>(field.size()));
    if (!out)
        ZENTRAD_THROW(runtime::AgentException, "error writing encrypted session key");
}

void newSessionKeyFile(std::uint16_t keyBits, const std::filesystem::path& privateKeyPath,
                       const std::filesystem::path& sessionKeyPath) {
    const RsaKeyPtr key = readPrivateKey(privateKeyPath);
    std::ostringstream content(std::ios::binary);
    std::string magic;
    platform::appendU32(magic, kSessionKeyMagic);
    content.write(magic.data(), static_cast<std::streamsize>(magic.size()));
    createSessionKey(KeyMsg::kGeneratedType, keyBits, content, key);
    try {
        util::files::writeFileAtomically(sessionKeyPath, content.str(),
                                         util::files::Access::administratorsOnly);
    } catch (const util::UtilException&) {
        ZENTRAD_THROW(runtime::AgentException,
                      "failed to write to file (" + sessionKeyPath.string() + ")");
    }
}

std::shared_ptr<KeyMsg> readSessionKeyFile(const RsaKeyPtr& privateKey,
                                           const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        ZENTRAD_THROW(runtime::AgentException, "failed to open(" + path.string() + ")");
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return openSessionKey(privateKey, bytes.str());
}

std::shared_ptr<KeyMsg> openSessionKey(const RsaKeyPtr& privateKey, const std::string& bytes) {
    std::istringstream in(bytes);
    std::string sealed;
    try {
        util::files::verifyMagic(in, kSessionKeyMagic);
        char length[2];
        in.read(length, sizeof length);
        sealed.resize(in ? platform::loadU16(length) : 0);
        in.read(sealed.data(), static_cast<std::streamsize>(sealed.size()));
    } catch (const util::UtilException& error) {
        ZENTRAD_THROW(runtime::AgentException, error.message());
    }
    if (!in)
        ZENTRAD_THROW(runtime::AgentException, "failed to read session key data from file");
    return std::make_shared<KeyMsg>(privateKey, sealed);
}

}  // namespace crypto::encryption
