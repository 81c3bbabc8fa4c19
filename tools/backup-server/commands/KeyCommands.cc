// key list|add|remove STORE ...: the passphrases and key files that open an encrypted
// store. Adding or removing one never touches the chunks: every wrapping holds the same
// master key.
#include <iomanip>
#include <sstream>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/store/StoreKeyring.h"
#include "backup-server/store/StoreLocation.h"
#include "backup-server/store/StoreLock.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

// Where a store's wrappings are: its keys folder, or the keys/ objects of an s3:// store
// (whose lock is in its cache folder).
struct KeyPlace {
    explicit KeyPlace(const fs::path& root)
        : local(localFolderOf(root.string())),
          remote(isObjectStoreName(root.string()) ? openStoreObjects(root.string()) : nullptr) {}
    fs::path local;
    std::unique_ptr<objects::BlobStore> remote;
};

void requireEncryptedStore(const fs::path& root, const KeyPlace& place) {
    std::error_code error;
    if (!fs::is_regular_file(place.local / "catalogue.db", error))
        ZENTRAD_THROW(runtime::AgentException, "No store of restore points in " + root.string());
    if (!StoreKeyring::exists(root, place.remote.get()))
        ZENTRAD_THROW(runtime::AgentException,
                      "The store " + root.string() +
                          " is not encrypted: it has no keys (an unencrypted store stays so)");
}

std::string describeKind(const WrappedKey& key) {
    std::ostringstream text;
    if (key.kind == SecretKind::keyFile) {
        text << "key file";
    } else {
        text << "passphrase (scrypt N=2^" << int{key.cost.log2N} << " r=" << key.cost.r
             << " p=" << key.cost.p << ")";
    }
    return text.str();
}

int listKeys(CommandContext& context, const fs::path& root, const KeyPlace& place) {
    StoreKeyring keyring(root, place.remote.get());
    JsonText json;
    json.beginArray();
    for (const auto& entry : keyring.entries()) {
        if (!context.json) {
            *context.out << entry.id << "  " << utcTime(entry.key.created) << "  "
                         << describeKind(entry.key) << "\n";
            continue;
        }
        json.beginObject().key("id").value(entry.id).key("created").value(entry.key.created);
        bool file = entry.key.kind == SecretKind::keyFile;
        json.key("kind").value(file ? "key file" : "passphrase");
        if (!file)
            json.key("scrypt_log2_n").value(std::uint64_t{entry.key.cost.log2N});
        json.endObject();
    }
    if (context.json)
        *context.out << json.endArray().text() << "\n";
    return kExitOk;
}

// The secret of a new wrapping: new-password-file=FILE, new-key-file=FILE (made when
// missing) or a passphrase typed twice.
KeySecret newSecret(const std::vector<std::string>& words, ScryptCost& cost) {
    KeySource source;
    for (std::size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (auto file = valueOf(word, "new-password-file")) {
            source.passwordFile = *file;
        } else if (auto key = valueOf(word, "new-key-file")) {
            source.keyFile = *key;
        } else if (auto n = valueOf(word, "scrypt-n")) {
            std::vector<std::string> one{word};
            cost = parseKeyringOptions(one, {}).cost;
        } else {
            throw UsageError("unknown option " + word);
        }
    }
    if (source.passwordFile && source.keyFile)
        throw UsageError("give either new-password-file= or new-key-file=, not both");
    if (source.keyFile && !fs::exists(*source.keyFile))
        createKeyFile(*source.keyFile);
    if (source.given())
        return *source.secret("");
    std::optional<std::string> typed = promptPassphrase("New passphrase");
    if (!typed)
        throw UsageError("name the new secret with new-password-file=FILE or new-key-file=FILE");
    std::optional<std::string> again = promptPassphrase("The same passphrase again");
    if (!again || *again != *typed)
        ZENTRAD_THROW(runtime::AgentException, "The passphrases typed differ; nothing was added");
    return KeySecret(SecretKind::passphrase, *typed, "passphrase typed");
}

int addKey(CommandContext& context, const fs::path& root, const KeyPlace& place) {
    ScryptCost cost;
    KeySecret secret = newSecret(context.arguments, cost);
    StoreLock lock(place.local, StoreLock::Kind::write, "key add");
    StoreKeyring keyring(root, place.remote.get());
    std::string master = keyring.unlock(context.keySource);
    std::string id = keyring.add(master, secret, cost);
    OPENSSL_cleanse(master.data(), master.size());
    JsonText json;
    json.beginObject().key("added").value(id).endObject();
    context.print("added key " + id + " (" + secret.origin + ")", json);
    return kExitOk;
}

int removeKey(CommandContext& context, const fs::path& root, const KeyPlace& place) {
    if (context.arguments.size() != 3)
        throw UsageError("key remove needs a STORE and the ID of a key (key list shows them)");
    StoreLock lock(place.local, StoreLock::Kind::write, "key remove");
    StoreKeyring keyring(root, place.remote.get());
    // Only someone who can open the store may take a way of opening it away.
    std::string master = keyring.unlock(context.keySource);
    OPENSSL_cleanse(master.data(), master.size());
    keyring.remove(context.arguments[2]);
    JsonText json;
    json.beginObject().key("removed").value(context.arguments[2]).endObject();
    context.print("removed key " + context.arguments[2], json);
    return kExitOk;
}

}  // namespace

int keyCommand(CommandContext& context) {
    const std::vector<std::string>& words = context.arguments;
    if (words.size() < 2)
        throw UsageError("key needs list, add or remove and a STORE");
    fs::path root = words[1];
    if (words[0] != "list" && words[0] != "add" && words[0] != "remove")
        throw UsageError("key list, key add or key remove, not key " + words[0]);
    if (words[0] == "list" && words.size() != 2)
        throw UsageError("key list takes only a STORE");
    KeyPlace place(root);
    requireEncryptedStore(root, place);
    if (words[0] == "list")
        return listKeys(context, root, place);
    if (words[0] == "add")
        return addKey(context, root, place);
    return removeKey(context, root, place);
}

}  // namespace backup_server
