// Checks restore points at rest: each point's index (its seal and the catalogue's record
// of it) and every chunk it references, read whole, decompressed and checked against its
// name and its blocks' digests. A chunk shared by several points is read once. A point is
// damaged when its index is, or when a chunk holding one of its used blocks is; the
// damaged blocks are named.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "backup-server/Catalogue.h"
#include "backup-server/Progress.h"
#include "backup-server/Store.h"

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

struct VerifyReport {
    std::vector<PointVerdict> points;
    std::uint64_t chunksRead = 0;
    std::uint64_t dataBytes = 0;  // chunk data checked, uncompressed
    bool damaged() const;
};

// progress may be null.
VerifyReport verifyPoints(const Store& store, const std::vector<PointRecord>& points,
                          Progress* progress);

std::string describeVerify(const VerifyReport& report);
std::string verifyJson(const VerifyReport& report);

}  // namespace backup_server
