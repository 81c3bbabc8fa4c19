#include "backup-server/commands/KeysGet.h"

#include "backup-server/commands/Command.h"
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
    if (magic != crypto::encryption::kSessionKeyMagic) {
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
    std::string text = "rsa.key: " + std::to_string(files.rsaKey.size()) +
                       " bytes; backup.key: " + std::to_string(files.backupKey.size()) +
                       " bytes; backup.key opens with rsa.key (type " +
                       std::to_string(backupKey.getType()) + ", " +
                       std::to_string(backupKey.key().size() * 8) + "-bit key)";
    JsonText json;
    json.beginObject().key("rsa_key_bytes").value(std::uint64_t{files.rsaKey.size()});
    json.key("backup_key_bytes").value(std::uint64_t{files.backupKey.size()});
    json.key("backup_key_bits").value(std::uint64_t{backupKey.key().size() * 8});
    if (!context.arguments.empty()) {
        std::filesystem::path dir = context.arguments.front();
        std::filesystem::create_directories(dir);
        util::files::writeFileAtomically(dir / "rsa.key", files.rsaKey);
        util::files::writeFileAtomically(dir / "backup.key", files.backupKey);
        text += "\nsaved in " + dir.string();
        json.key("saved_in").value(dir.string());
    }
    context.print(text, json.endObject());
    return kExitOk;
}

}  // namespace backup_server
