// The backup server's own RSA key pair, kept in a folder: "server.key" (unencrypted PKCS #8
// PEM, mode 0600) and "server_public.key" (SubjectPublicKeyInfo PEM, the text to put into
// an agent's allow directory), in a folder of mode 0700. Made only when asked for
// (backup-server init-keys): a mistyped folder must not become a new key that every agent
// then turns away.
#pragma once

#include <filesystem>
#include <string>

#include "crypto/RsaKey.h"

namespace backup_server {

class ServerKeys {
  public:
    // Loads the pair from dir, warning on standard error when the folder or the private
    // key is open to other users. Throws runtime::AgentException when there is no key
    // (saying how to make one) or it cannot be read.
    static ServerKeys load(const std::filesystem::path& dir);
    // Makes a new pair in dir, creating the folder when missing. Throws
    // runtime::AgentException when dir already holds a key or the files cannot be written.
    static ServerKeys create(const std::filesystem::path& dir);

    const crypto::RsaKeyPtr& privateKey() const { return privateKey_; }
    std::string publicPem() const { return privateKey_->publicPem(); }

  private:
    explicit ServerKeys(crypto::RsaKeyPtr key) : privateKey_(std::move(key)) {}
    crypto::RsaKeyPtr privateKey_;
};

}  // namespace backup_server
