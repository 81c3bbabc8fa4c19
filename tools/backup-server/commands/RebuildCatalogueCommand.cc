// rebuild-catalogue STORE: fetches the newest copy of an s3:// store's catalogue that opens
// from its bucket into the cache folder (a server machine lost with its catalogue is
// replaced from the bucket, the server's keys and the store's passphrase alone), and says
// which points' indexes are not in the bucket.
#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/store/CatalogueCopies.h"
#include "backup-server/store/FileModes.h"
#include "backup-server/store/StoreKeyring.h"
#include "backup-server/store/StoreLocation.h"
#include "backup-server/store/StoreLock.h"
#include "runtime/Exceptions.h"

namespace backup_server {

int rebuildCatalogueCommand(CommandContext& context) {
    if (context.arguments.size() != 1)
        throw UsageError("rebuild-catalogue needs exactly one STORE (s3://BUCKET/PREFIX)");
    const std::string& name = context.arguments[0];
    if (!isObjectStoreName(name)) {
        throw UsageError(
            "rebuild-catalogue is for s3:// stores (a store folder keeps its "
            "catalogue in the folder): " +
            name);
    }
    std::filesystem::path local = localFolderOf(name);
    std::filesystem::path file = local / "catalogue.db";
    if (std::filesystem::exists(file)) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The cache folder " + local.string() +
                          " holds a catalogue already; move it away first (or give another "
                          "folder with --cache-dir)");
    }
    createPrivateFolder(local);
    StoreLock lock(local, StoreLock::Kind::write, "rebuild-catalogue");
    std::unique_ptr<objects::BlobStore> objects = openStoreObjects(name);
    std::shared_ptr<const StoreCipher> cipher =
        openStoreCipher(name, context.keySource, objects.get());
    CatalogueRebuild rebuild = rebuildCatalogueFile(*objects, *cipher, file);
    if (!context.json) {
        for (const std::string& skipped : rebuild.skipped)
            *context.out << "skipped " << skipped << "\n";
        *context.out << "rebuilt the catalogue of " << name << " in " << file.string()
                     << " from copy " << rebuild.generation << ": " << rebuild.points << " points";
        if (!rebuild.pointsWithoutIndex.empty()) {
            *context.out << "; the index of " << rebuild.pointsWithoutIndex.size()
                         << " is missing from the bucket (points";
            for (std::int64_t id : rebuild.pointsWithoutIndex)
                *context.out << " " << id;
            *context.out << "; forget them)";
        }
        *context.out << "\n";
        return kExitOk;
    }
    JsonText json;
    json.beginObject().key("catalogue").value(file.string());
    json.key("generation").value(rebuild.generation).key("points").value(rebuild.points);
    json.key("points_without_index").beginArray();
    for (std::int64_t id : rebuild.pointsWithoutIndex)
        json.value(static_cast<std::uint64_t>(id));
    json.endArray().key("skipped_copies").beginArray();
    for (const std::string& skipped : rebuild.skipped)
        json.value(skipped);
    json.endArray().endObject();
    *context.out << json.text() << "\n";
    return kExitOk;
}

}  // namespace backup_server
