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

std::uint64_t removeFile(const fs::path& file) {
    std::error_code error;
    std::uint64_t size = fs::file_size(file, error);
    if (error)
        size = 0;
    return fs::remove(file, error) ? size : 0;
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
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(store.pointFolder(), error)) {
        if (indexes.count(entry.path().filename().string()) == 0) {
            report.bytesFreed += removeFile(entry.path());
            ++report.filesRemoved;
        }
    }
    std::set<std::string> tables;
    for (const PartitionTableRecord& table : store.catalogue().partitionTables())
        tables.insert(table.file);
    for (const auto& entry : fs::directory_iterator(store.tableFolder(), error)) {
        if (tables.count(entry.path().filename().string()) == 0) {
            report.bytesFreed += removeFile(entry.path());
            ++report.filesRemoved;
        }
    }
    ChunkStore(store.chunkFolder())
        .forEachFile([&](const fs::path& file, std::optional<Sha256Digest> name) {
            if (name &&
                std::binary_search(referenced.begin(), referenced.end(), digestPrefix(*name))) {
                ++report.chunksKept;
                report.bytesKept += fs::file_size(file, error);
                return;
            }
            report.bytesFreed += removeFile(file);
            ++(name ? report.chunksRemoved : report.filesRemoved);
        });
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
