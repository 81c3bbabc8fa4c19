#include "backup-server/store/StoreVerify.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_set>

#include "backup-server/store/ChunkStore.h"
#include "backup-server/store/PointReader.h"
#include "backup-server/store/StoreError.h"

namespace backup_server {
namespace {

// The verdict of each chunk read so far. Sound chunks are remembered by the first 8 bytes
// of their name (memory stays near 40 bytes per distinct chunk of a large store).
struct ChunkVerdicts {
    std::unordered_set<std::uint64_t> sound;
    std::map<Sha256Digest, ChunkDamage> damaged;
};

// Whether the chunk is in this run's sample; the same chunk is in or out for every point.
bool sampled(const Sha256Digest& name, const VerifyOptions& options) {
    if (options.percent >= 100)
        return true;
    std::uint64_t mixed = (digestPrefix(name) ^ options.seed) * 0x9E3779B97F4A7C15ull;
    return (mixed >> 32) % 100 < options.percent;
}

void verifyChunks(PointReader& reader, ChunkStore& chunks, ChunkVerdicts& verdicts,
                  PointVerdict& verdict, VerifyReport& report, Progress* progress,
                  std::uint64_t& done, const VerifyOptions& options) {
    const PointGeometry& geometry = reader.geometry();
    for (std::uint64_t chunk = 0; chunk < geometry.chunkCount(); ++chunk, ++done) {
        if (progress != nullptr)
            progress->update(done, report.dataBytes);
        Sha256Digest name = reader.index().entry(chunk);
        if (isEmptyEntry(name))
            continue;
        if (verdicts.sound.count(digestPrefix(name)) != 0 || !sampled(name, options))
            continue;
        auto found = verdicts.damaged.find(name);
        if (found == verdicts.damaged.end()) {
            ChunkShape shape = geometry.shapeOf(chunk);
            std::optional<ChunkDamage> damage = chunks.check(name, shape);
            ++report.chunksRead;
            report.dataBytes += shape.dataBytes();
            if (!damage) {
                verdicts.sound.insert(digestPrefix(name));
                continue;
            }
            found = verdicts.damaged.emplace(name, std::move(*damage)).first;
        }
        DamagedChunk damaged{chunk, name, found->second.problem, {}};
        for (std::uint32_t slot : found->second.blocks) {
            std::uint64_t block = chunk * geometry.chunkBlocks + slot;
            if (block < geometry.blockCount && reader.used().bit(block))
                damaged.blocks.push_back(block);
        }
        if (!damaged.blocks.empty()) {
            verdict.damagedBlocks += damaged.blocks.size();
            verdict.chunks.push_back(std::move(damaged));
        }
    }
}

std::string blockList(const std::vector<std::uint64_t>& blocks) {
    std::ostringstream text;
    for (std::size_t i = 0; i < blocks.size() && i < 8; ++i)
        text << (i ? ", " : "") << blocks[i];
    if (blocks.size() > 8)
        text << " and " << blocks.size() - 8 << " more";
    return text.str();
}

}  // namespace

bool VerifyReport::damaged() const {
    for (const auto& point : points) {
        if (!point.sound())
            return true;
    }
    return false;
}

VerifyReport verifyPoints(const Store& store, const std::vector<PointRecord>& points,
                          Progress* progress, const VerifyOptions& options) {
    VerifyReport report;
    report.percent = options.percent;
    ChunkStore chunks(store.objects(), store.cipher());
    ChunkVerdicts verdicts;
    std::uint64_t total = 0;
    for (const auto& point : points)
        total += point.geometry.chunkBlocks ? point.geometry.chunkCount() : 0;
    if (progress != nullptr)
        progress->setTotal(total);
    std::uint64_t done = 0;
    for (const auto& point : points) {
        PointVerdict verdict{point, {}, {}, 0};
        try {
            PointReader reader(store, point);
            verifyChunks(reader, chunks, verdicts, verdict, report, progress, done, options);
        } catch (const std::exception& error) {
            verdict.indexProblem = error.what();
        }
        report.points.push_back(std::move(verdict));
    }
    if (progress != nullptr)
        progress->finish();
    return report;
}

void setAsideDamaged(const Store& store, VerifyReport& report) {
    std::set<Sha256Digest> names;
    for (const auto& verdict : report.points) {
        for (const auto& chunk : verdict.chunks)
            names.insert(chunk.name);
    }
    if (names.empty())
        return;
    std::optional<StoreLock> lock;
    try {
        lock.emplace(store.localFolder(), StoreLock::Kind::write,
                     "verify (setting damaged chunks aside)");
    } catch (const StoreInUse& error) {
        report.setAsideNote = error.what();
    } catch (const StoreError& error) {
        report.setAsideNote = error.message();
    }
    if (!lock)
        return;
    ChunkStore chunks(store.objects(), StoreCipher::plain());
    for (const Sha256Digest& name : names) {
        try {
            report.chunksSetAside += chunks.setAside(name) ? 1 : 0;
        } catch (const StoreError& error) {
            report.setAsideNote = error.message();
            return;
        }
    }
}

std::string describeVerify(const VerifyReport& report) {
    std::ostringstream text;
    std::uint64_t damaged = 0;
    for (const auto& verdict : report.points) {
        const PointRecord& point = verdict.point;
        text << "point " << point.id << " (" << point.deviceID << ", " << point.kind << "): ";
        if (verdict.sound()) {
            text << "sound\n";
            continue;
        }
        ++damaged;
        if (!verdict.indexProblem.empty()) {
            text << "DAMAGED index: " << verdict.indexProblem << "\n";
            continue;
        }
        text << "DAMAGED, " << verdict.damagedBlocks << " blocks\n";
        for (const auto& chunk : verdict.chunks) {
            text << "  chunk " << toHex(chunk.name) << " (" << chunk.problem << "): blocks "
                 << blockList(chunk.blocks) << "\n";
        }
    }
    if (report.chunksSetAside != 0) {
        text << "set " << report.chunksSetAside
             << " damaged chunks aside (in the store's damaged folder); the next backup of each "
                "volume sends their blocks again\n";
    }
    if (!report.setAsideNote.empty())
        text << "damaged chunks were not set aside: " << report.setAsideNote << "\n";
    text << "verified " << report.points.size() << " points, " << report.chunksRead << " chunks ("
         << report.dataBytes << " bytes of data";
    if (report.percent < 100)
        text << ", a sample of " << report.percent << "% of the chunks";
    text << "): " << (damaged == 0 ? "no damage" : std::to_string(damaged) + " damaged points");
    return text.str();
}

}  // namespace backup_server
