#include "backup-server/session/AgentKeyFiles.h"

#include "crypto/SessionKeyFile.h"
#include "runtime/Exceptions.h"
#include "util/ByteReader.h"

namespace backup_server {

AgentKeyFiles fetchKeys(AgentSession& session) {
    auto request = session.newMessage();
    request->write32(net::PROT_REQ_KEYS_GET);
    request->send();
    auto reply = session.receiveMessage();
    net::ProtocolStream::verifyCode(net::PROT_KEYS, reply->read32());
    AgentKeyFiles files;
    files.rsaKey = reply->readString();
    files.backupKey = reply->readString();
    return files;
}

crypto::KeyMsg openBackupKey(const AgentKeyFiles& files) {
    crypto::RsaKeyPtr privateKey = crypto::RsaKey::readPrivatePem(files.rsaKey);
    util::ByteReader reader(files.backupKey);
    std::uint32_t magic = reader.readU32();
    if (magic != crypto::encryption::kSessionKeyMagic) {
        ZENTRAD_THROW(runtime::AgentException,
                      "backup.key does not start with the session key magic number");
    }
    std::string sealed = reader.readShortBytes();
    return crypto::KeyMsg(privateKey, sealed);
}

}  // namespace backup_server
