#include "net/AllowDirectories.h"

#include <fstream>
#include <functional>

#include "crypto/RsaKeyFiles.h"
#include "winutil/AgentOptions.h"
#include "winutil/Logger.h"

namespace Net {
namespace {

namespace fs = std::filesystem;

// Reads one allow file; null (with the WARN line) when it cannot be opened or read.
crypto::RsaKeyPtr readAllowFile(const fs::path& file) {
    std::ifstream in(file);
    if (!in) {
        winutil::logWarn() << "error opening " << file.string() << " for reading";
        return nullptr;
    }
    // A key file is a few hundred bytes; reading a little past the limit tells an
    // oversized file from one that fits.
    std::string text;
    text.resize(crypto::Encryption::kMaxKeyFileBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    crypto::RsaKeyPtr key;
    if (text.size() <= crypto::Encryption::kMaxKeyFileBytes)
        key = crypto::RsaKey::readPublicPem(text);
    if (!key)
        winutil::logWarn() << "error reading RSA public key (" << file.string() << ")";
    return key;
}

// Walks one directory in listing order and returns the first key that accept() takes.
crypto::RsaKeyPtr searchDirectory(const fs::path& dir,
                                  const std::function<bool(const crypto::RsaKey&)>& accept,
                                  const std::function<bool(const fs::path&)>& consider) {
    try {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!consider(entry.path()))
                continue;
            crypto::RsaKeyPtr key = readAllowFile(entry.path());
            if (key && accept(*key))
                return key;
        }
    } catch (const std::exception& error) {
        winutil::logWarn() << error.what();
    }
    return nullptr;
}

crypto::RsaKeyPtr searchBoth(const fs::path& serverAllowDir, const fs::path& backupAllowDir,
                             const std::function<bool(const crypto::RsaKey&)>& accept,
                             const std::function<bool(const fs::path&)>& consider) {
    if (auto key = searchDirectory(serverAllowDir, accept, consider))
        return key;
    return searchDirectory(backupAllowDir, accept, consider);
}

}  // namespace

crypto::RsaKeyPtr findAllowedKeyByAddress(const std::string& address,
                                          const fs::path& serverAllowDir,
                                          const fs::path& backupAllowDir) {
    return searchBoth(
        serverAllowDir, backupAllowDir, [](const crypto::RsaKey&) { return true; },
        [&address](const fs::path& file) { return file.filename().string() == address; });
}

bool isKeyAllowed(const crypto::RsaKey& key, const fs::path& serverAllowDir,
                  const fs::path& backupAllowDir) {
    auto match = searchBoth(
        serverAllowDir, backupAllowDir,
        [&key](const crypto::RsaKey& candidate) { return candidate.samePublicKey(key); },
        [](const fs::path&) { return true; });
    return match != nullptr;
}

crypto::RsaKeyPtr findAllowedKeyByAddress(const std::string& address) {
    auto options = winutil::agentOptions();
    return findAllowedKeyByAddress(address, options->serverAllowFile(), options->backupAllowDir());
}

bool isKeyAllowed(const crypto::RsaKey& key) {
    auto options = winutil::agentOptions();
    return isKeyAllowed(key, options->serverAllowFile(), options->backupAllowDir());
}

}  // namespace Net
