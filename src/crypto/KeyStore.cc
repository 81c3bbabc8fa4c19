#include "crypto/KeyStore.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "crypto/KeyFileLock.h"
#include "crypto/RsaKeyFiles.h"
#include "crypto/SessionKeyFile.h"
#include "logging/Logger.h"
#include "platform/RegularFile.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"

namespace crypto::encryption {
namespace {

// Serialises loadKeys within the process: one thread at a time reads, replaces and
// regenerates the key files.
std::mutex keyStoreMutex;

// A key file is replaced only when it is missing or was read whole and is not a key. A file
// that could not be read (a passing device error, permissions, a pipe put in its place) may
// well hold the key that every earlier backup was sealed with, so it is left alone and the
// connection fails instead.
struct KeyFileBytes {
    bool present = false;
    std::string bytes;  // empty, or the whole file when present
};

KeyFileBytes readKeyFile(const std::filesystem::path& path) {
    KeyFileBytes file;
    switch (platform::readRegularFile(path, kMaxKeyFileBytes, file.bytes)) {
        case platform::RegularFileRead::ok:
            file.present = true;
            return file;
        case platform::RegularFileRead::missing:
            return file;
        case platform::RegularFileRead::tooLarge:
            // Read far enough to know it cannot be a key.
            file.present = true;
            file.bytes.clear();
            return file;
        default:
            ZENTRAD_THROW(runtime::AgentException,
                          "cannot read key file " + path.string() + "; it is left as it is");
    }
}

// "YYYYMMDD-HHMMSS" in UTC.
std::string timeStamp() {
    using namespace std::chrono;
    auto now = floor<seconds>(system_clock::now());
    auto day = floor<days>(now);
    year_month_day date(day);
    hh_mm_ss<seconds> time(now - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02u-%02d%02d%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

// Moves a key file that is about to be replaced to "NAME.replaced-TIME" (with a counter when
// that exists), so every replaced key can still be recovered. Throws when it cannot be kept:
// a key is never destroyed to make room for a new one.
void keepReplacedFile(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) == 0 || error)
        return;
    std::string base = path.string() + ".replaced-" + timeStamp();
    std::filesystem::path kept = base;
    for (int copy = 2; std::filesystem::exists(kept, error); ++copy)
        kept = base + "-" + std::to_string(copy);
    std::filesystem::rename(path, kept, error);
    if (error) {
        ZENTRAD_THROW(runtime::AgentException, "could not keep the replaced key file " +
                                                   path.string() + ": " + error.message());
    }
    logging::logWarn() << "kept the replaced key file as " << kept.string();
}

void regenerateRsaKeys(const KeyFilePaths& paths) {
    std::error_code ignored;
    std::filesystem::create_directories(paths.privateKey.parent_path(), ignored);
    keepReplacedFile(paths.privateKey);
    generateRsaKeys(paths.privateKey, paths.publicKey);
}

void regenerateSessionKey(const KeyFilePaths& paths, std::uint16_t keyBits) {
    logging::logWarn() << "generating new backup key!";
    keepReplacedFile(paths.sessionKey);
    newSessionKeyFile(keyBits, paths.privateKey, paths.sessionKey);
}

RsaKeyPtr loadPrivateKey(const KeyFilePaths& paths, std::uint16_t keyBits) {
    KeyFileBytes file = readKeyFile(paths.privateKey);
    if (file.present) {
        try {
            return RsaKey::readPrivatePem(file.bytes);
        } catch (const std::exception&) {
            // An unreadable key is replaced below, with a WARN line; the old file is kept
            // beside the new one for inspection.
        }
    }
    logging::logWarn() << "generating new RSA private key!";
    regenerateRsaKeys(paths);
    RsaKeyPtr key = readPrivateKey(paths.privateKey);
    // A new pair makes the old session key unreadable, so it is replaced along with it.
    regenerateSessionKey(paths, keyBits);
    return key;
}

// The public key file must hold the public half of the private key: a server that is given
// anything else cannot answer the agent's challenge. It is derived data, so it is rewritten.
std::string loadPublicKeyText(const KeyFilePaths& paths, const RsaKey& privateKey) {
    std::string text = util::files::readFile(paths.publicKey, kMaxKeyFileBytes);
    const RsaKeyPtr stored = RsaKey::readPublicPem(text);
    if (stored && stored->samePublicKey(privateKey))
        return text;
    logging::logWarn() << "rewriting public key file from the private key ("
                       << paths.publicKey.string() << ")";
    try {
        writePublicKeyFile(privateKey, paths.publicKey);
    } catch (const std::exception& error) {
        logging::logError() << error.what();
    }
    return privateKey.publicPem();
}

std::shared_ptr<KeyMsg> loadSessionKey(const KeyFilePaths& paths, std::uint16_t keyBits,
                                       const RsaKeyPtr& privateKey, bool& generated) {
    for (;;) {
        KeyFileBytes file;
        try {
            file = readKeyFile(paths.sessionKey);
        } catch (const std::exception&) {
            logging::logError() << "error reading backup session key";
            throw;
        }
        if (file.present) {
            try {
                return openSessionKey(privateKey, file.bytes);
            } catch (const std::exception&) {
                if (generated) {
                    logging::logError() << "error reading backup session key";
                    throw;
                }
            }
        }
        try {
            regenerateSessionKey(paths, keyBits);
        } catch (const std::exception&) {
            logging::logError() << "error generating new backup session key";
            throw;
        }
        generated = true;
    }
}

}  // namespace

LoadedKeys loadKeys(const KeyFilePaths& paths, std::uint16_t sessionKeyBits) {
    std::lock_guard<std::mutex> lock(keyStoreMutex);
    KeyFileLock fileLock(paths.privateKey.parent_path() / "zentrad-keys.lock");
    LoadedKeys keys;
    keys.privateKey = loadPrivateKey(paths, sessionKeyBits);
    keys.publicKeyText = loadPublicKeyText(paths, *keys.privateKey);
    keys.backupKey = loadSessionKey(paths, sessionKeyBits, keys.privateKey, keys.generated);
    return keys;
}

}  // namespace crypto::encryption
