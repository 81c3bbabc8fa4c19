// The backup server's own RSA key pair, kept in a folder: "server.key" (unencrypted PKCS #8
// PEM) and "server_public.key" (SubjectPublicKeyInfo PEM, the text to put into an agent's
// allow directory). Created on first use.
#pragma once

#include <filesystem>
#include <string>

#include "crypto/RsaKey.h"

namespace backup_server {

class ServerKeys {
  public:
    // Loads the pair from dir, creating the folder and a new pair when there is none.
    // Throws runtime::AgentException when an existing key cannot be read.
    static ServerKeys loadOrCreate(const std::filesystem::path& dir);

    const crypto::RsaKeyPtr& privateKey() const { return privateKey_; }
    std::string publicPem() const { return privateKey_->publicPem(); }

  private:
    explicit ServerKeys(crypto::RsaKeyPtr key) : privateKey_(std::move(key)) {}
    crypto::RsaKeyPtr privateKey_;
};

}  // namespace backup_server
