#include "crypto/KeyStore.h"

#include <mutex>

#include "crypto/KeyFileLock.h"
#include "crypto/RsaKeyFiles.h"
#include "crypto/SessionKeyFile.h"
#include "util/FileUtil.h"
#include "winutil/AgentOptions.h"
#include "winutil/Exceptions.h"
#include "winutil/Logger.h"

namespace crypto::Encryption {
namespace {

std::mutex keyStoreMutex;

// Keeps the bytes of a key file that is about to be replaced, so that a key which merely
// failed to parse (or a sealed session key needed for old backups) can still be recovered.
void keepReplacedFile(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) == 0 || error)
        return;
    std::filesystem::path kept = path;
    kept += ".replaced";
    std::filesystem::rename(path, kept, error);
    if (error) {
        winutil::logWarn() << "could not keep the replaced key file " << path.string() << ": "
                           << error.message();
    }
}

void regenerateRsaKeys(const KeyFilePaths& paths) {
    std::error_code ignored;
    std::filesystem::create_directories(paths.privateKey.parent_path(), ignored);
    keepReplacedFile(paths.privateKey);
    generateRsaKeys(paths.privateKey, paths.publicKey);
}

void regenerateSessionKey(const KeyFilePaths& paths, std::uint16_t keyBits) {
    winutil::logWarn() << "generating new backup key!";
    keepReplacedFile(paths.sessionKey);
    newSessionKeyFile(keyBits, paths.privateKey, paths.sessionKey);
}

RsaKeyPtr loadPrivateKey(const KeyFilePaths& paths, std::uint16_t keyBits) {
    try {
        return readPrivateKey(paths.privateKey);
    } catch (const std::exception&) {
        winutil::logWarn() << "generating new RSA private key!";
    }
    regenerateRsaKeys(paths);
    RsaKeyPtr key = readPrivateKey(paths.privateKey);
    // A new pair makes the old session key unreadable, so it is replaced along with it.
    regenerateSessionKey(paths, keyBits);
    return key;
}

// The public key file must hold the public half of the private key: a server that is given
// anything else cannot answer the agent's challenge. It is derived data, so it is rewritten.
std::string loadPublicKeyText(const KeyFilePaths& paths, const RsaKey& privateKey) {
    std::string text = util::FileUtil::readFile(paths.publicKey, kMaxKeyFileBytes);
    const RsaKeyPtr stored = RsaKey::readPublicPem(text);
    if (stored && stored->samePublicKey(privateKey))
        return text;
    winutil::logWarn() << "rewriting public key file from the private key ("
                       << paths.publicKey.string() << ")";
    try {
        writePublicKeyFile(privateKey, paths.publicKey);
    } catch (const std::exception& error) {
        winutil::logError() << error.what();
    }
    return privateKey.publicPem();
}

std::shared_ptr<KeyMsg> loadSessionKey(const KeyFilePaths& paths, std::uint16_t keyBits,
                                       const RsaKeyPtr& privateKey, bool& generated) {
    for (;;) {
        try {
            return readSessionKeyFile(privateKey, paths.sessionKey);
        } catch (const std::exception&) {
            if (generated) {
                winutil::logError() << "error reading backup session key";
                throw;
            }
        }
        try {
            regenerateSessionKey(paths, keyBits);
        } catch (const std::exception&) {
            winutil::logError() << "error generating new backup session key";
            throw;
        }
        generated = true;
    }
}

}  // namespace

KeyFilePaths KeyFilePaths::fromOptions() {
    const auto options = winutil::agentOptions();
    if (!options)
        ZENTRAD_THROW(winutil::AgentException, "agent options are not set");
    return {options->rsaKeyFile(), options->rsaPublicKeyFile(), options->backupKeyFile()};
}

LoadedKeys loadKeys(const KeyFilePaths& paths, std::uint16_t sessionKeyBits) {
    std::lock_guard<std::mutex> lock(keyStoreMutex);
    KeyFileLock fileLock(paths.privateKey.parent_path() / "zentrad-keys.lock");
    LoadedKeys keys;
    keys.privateKey = loadPrivateKey(paths, sessionKeyBits);
    keys.publicKeyText = loadPublicKeyText(paths, *keys.privateKey);
    keys.backupKey = loadSessionKey(paths, sessionKeyBits, keys.privateKey, keys.generated);
    return keys;
}

LoadedKeys loadKeys() {
    const auto options = winutil::agentOptions();
    if (!options)
        ZENTRAD_THROW(winutil::AgentException, "agent options are not set");
    return loadKeys(KeyFilePaths::fromOptions(), options->sessionKeyBits());
}

void loadKeys(RsaKeyPtr& privateKey, std::string& publicKeyText, std::shared_ptr<KeyMsg>& backupKey,
              bool& generatedOut) {
    LoadedKeys keys = loadKeys();
    privateKey = std::move(keys.privateKey);
    publicKeyText = std::move(keys.publicKeyText);
    backupKey = std::move(keys.backupKey);
    generatedOut = keys.generated;
}

}  // namespace crypto::Encryption
