// Checks restore points at rest: each point's index (its seal and the catalogue's record
// of it) and every chunk it references, read whole, decompressed and checked against its
// name and its blocks' digests. A chunk shared by several points is read once. A point is
// damaged when its index is, or when a chunk holding one of its used blocks is; the
// damaged blocks are named. A sample of the chunks may be read instead of all of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup-server/store/Catalogue.h"
#include "backup-server/store/Progress.h"
#include "backup-server/store/Store.h"

namespace backup_server {

struct DamagedChunk {
    std::uint64_t chunk = 0;  // its place in the point's index
    Sha256Digest name{};
    std::string problem;
    std::vector<std::uint64_t> blocks;  // the point's used blocks it damages
};

struct PointVerdict {
    PointRecord point;
    std::string indexProblem;  // empty when the index is sound
    std::vector<DamagedChunk> chunks;
    std::uint64_t damagedBlocks = 0;
    bool sound() const { return indexProblem.empty() && chunks.empty(); }
};

struct VerifyOptions {
    // The share of distinct chunks read, 1 to 100. A sample is drawn afresh from the seed,
    // so regular runs with a small share come round to every chunk.
    unsigned percent = 100;
    std::uint64_t seed = 0;
};

struct VerifyReport {
    std::vector<PointVerdict> points;
    unsigned percent = 100;
    std::uint64_t chunksRead = 0;
    std::uint64_t dataBytes = 0;  // chunk data checked, uncompressed
    std::uint64_t chunksSetAside = 0;
    std::string setAsideNote;  // why damaged chunks were not set aside (empty when they were)
    bool damaged() const;
};

// progress may be null.
VerifyReport verifyPoints(const Store& store, const std::vector<PointRecord>& points,
                          Progress* progress, const VerifyOptions& options = {});

// Moves the damaged chunks of the report into STORE/damaged, where they are kept but never
// read as chunks again: the next backup of each volume whose latest point used one finds
// it gone and has its blocks sent again. Takes the store's write lock exclusively for the
// moves, so that no backup builds on a chunk while it goes; when that lock cannot be had
// (another command is changing the store, or the store is on read-only media) nothing is
// moved and report.setAsideNote says why.
void setAsideDamaged(const Store& store, VerifyReport& report);

std::string describeVerify(const VerifyReport& report);

}  // namespace backup_server
