#include "backup-server/store/StoreGc.h"
#include "backup-server/store/OperatorValues.h"

#include <algorithm>
#include <set>
#include <sstream>
#include <vector>

#include "backup-server/store/PointReader.h"
#include "backup-server/store/StoreError.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

// A chunk is kept when the first 8 bytes of its name match a referenced one: a false
// match only keeps a chunk that could have gone, never the other way round.
void mergeInto(std::vector<std::uint64_t>& all, std::vector<std::uint64_t>& more) {
    std::sort(more.begin(), more.end());
    more.erase(std::unique(more.begin(), more.end()), more.end());
    std::vector<std::uint64_t> merged;
    merged.reserve(all.size() + more.size());
    std::set_union(all.begin(), all.end(), more.begin(), more.end(), std::back_inserter(merged));
    all.swap(merged);
}

// Objects of a folder that nothing in the catalogue names.
void collectStray(objects::BlobStore& objects, const std::string& prefix,
                  const std::set<std::string>& keep, std::vector<objects::BlobInfo>& stray) {
    objects.list(prefix, [&](const objects::BlobInfo& info) {
        if (keep.count(info.key.substr(prefix.size())) == 0)
            stray.push_back(info);
    });
}

}  // namespace

GcReport collectGarbage(Store& store, Progress* progress) {
    GcReport report;
    std::vector<PointRecord> points = store.catalogue().points();
    std::vector<std::uint64_t> referenced;
    std::set<std::string> indexes;
    if (progress != nullptr)
        progress->setTotal(points.size());
    for (const PointRecord& point : points) {
        PointReader reader(store, point);  // a damaged index stops gc here
        std::vector<std::uint64_t> names;
        for (std::uint64_t chunk = 0; chunk < reader.geometry().chunkCount(); ++chunk) {
            Sha256Digest name = reader.index().entry(chunk);
            if (!isEmptyEntry(name))
                names.push_back(digestPrefix(name));
        }
        mergeInto(referenced, names);
        indexes.insert(point.indexFile);
        ++report.points;
        if (progress != nullptr)
            progress->update(report.points, 0);
    }
    // Listed first and removed after: a listing is not changed under its own feet.
    std::vector<objects::BlobInfo> stray;
    collectStray(store.objects(), "points/", indexes, stray);
    std::set<std::string> tables;
    for (const PartitionTableRecord& table : store.catalogue().partitionTables())
        tables.insert(table.file);
    collectStray(store.objects(), "tables/", tables, stray);
    report.filesRemoved += stray.size();
    // Listing needs no key: names are read from the objects' keys.
    ChunkStore(store.objects(), StoreCipher::plain())
        .forEachObject([&](const objects::BlobInfo& info, std::optional<Sha256Digest> name) {
            if (name &&
                std::binary_search(referenced.begin(), referenced.end(), digestPrefix(*name))) {
                ++report.chunksKept;
                report.bytesKept += info.size;
                return;
            }
            stray.push_back(info);
            ++(name ? report.chunksRemoved : report.filesRemoved);
        });
    for (const objects::BlobInfo& info : stray) {
        store.objects().remove(info.key);
        report.bytesFreed += info.size;
    }
    // What puts cut short by a crash left: a folder's temporary files, a bucket's unfinished
    // uploads (whose parts are kept, and billed, until they are aborted).
    for (const char* prefix : {"chunks", "points", "tables"})
        report.filesRemoved += store.objects().removeLeftovers(prefix, report.bytesFreed);
    if (progress != nullptr)
        progress->finish();
    return report;
}

std::string describeGc(const GcReport& report) {
    std::ostringstream text;
    text << "gc: " << report.points << " points reference " << report.chunksKept << " chunks ("
         << humanBytes(report.bytesKept) << "); removed " << report.chunksRemoved << " chunks and "
         << report.filesRemoved << " other files, " << humanBytes(report.bytesFreed) << " freed";
    return text.str();
}

}  // namespace backup_server
