#include "backup-server/KeysGet.h"

#include "backup-server/Command.h"
#include "crypto/SessionKeyFile.h"
#include "runtime/Exceptions.h"
#include "util/ByteReader.h"
#include "util/FileUtil.h"

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
    if (magic != crypto::Encryption::kSessionKeyMagic) {
        ZENTRAD_THROW(runtime::AgentException,
                      "backup.key does not start with the session key magic number");
    }
    std::string sealed = reader.readShortBytes();
    return crypto::KeyMsg(privateKey, sealed);
}

int keysGetCommand(CommandContext& context) {
    auto session = context.openSession();
    AgentKeyFiles files = fetchKeys(*session);
    session->finish();
    crypto::KeyMsg backupKey = openBackupKey(files);
    *context.out << "rsa.key: " << files.rsaKey.size()
                 << " bytes; backup.key: " << files.backupKey.size()
                 << " bytes; backup.key opens with rsa.key (type " << backupKey.getType() << ", "
                 << backupKey.key().size() * 8 << "-bit key)\n";
    if (!context.arguments.empty()) {
        std::filesystem::path dir = context.arguments.front();
        std::filesystem::create_directories(dir);
        util::FileUtil::writeFileAtomically(dir / "rsa.key", files.rsaKey);
        util::FileUtil::writeFileAtomically(dir / "backup.key", files.backupKey);
        *context.out << "saved in " << dir.string() << "\n";
    }
    return 0;
}

}  // namespace backup_server
