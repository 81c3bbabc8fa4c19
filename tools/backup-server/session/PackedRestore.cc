#include "backup-server/session/PackedRestore.h"

#include <chrono>
#include <cstring>
#include <string>

#include "backup-server/session/BatchPipeline.h"
#include "backup-server/store/StoreAgents.h"
#include "backup-server/store/StoreError.h"
#include "blocks/BlockRecord.h"
#include "platform/ByteOrder.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

constexpr char kMagic[] = "zrpack2\n";
constexpr std::size_t kMagicBytes = sizeof(kMagic) - 1;

void putText(std::string& out, const std::string& text) {
    platform::appendBigEndian(out, text.size(), 2);
    out += text;
}

class FileReader {
  public:
    FileReader(std::ifstream& in, const std::filesystem::path& file) : in_(in), file_(file) {}

    // False at a clean end (no byte of the next field); throws in the middle of one.
    bool bytes(char* out, std::size_t count, bool endAllowed = false) {
        in_.read(out, static_cast<std::streamsize>(count));
        if (in_.gcount() == 0 && endAllowed && in_.eof())
            return false;
        if (static_cast<std::size_t>(in_.gcount()) != count)
            ZENTRAD_THROW(runtime::AgentException, "The packed restore " + file_.string() +
                                                       " ends in the middle of a record");
        return true;
    }
    std::uint64_t number(int count) {
        unsigned char raw[8];
        bytes(reinterpret_cast<char*>(raw), static_cast<std::size_t>(count));
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 8) | raw[i];
        return value;
    }
    std::string text() {
        std::string value(number(2), '\0');
        bytes(value.data(), value.size());
        return value;
    }

  private:
    std::ifstream& in_;
    const std::filesystem::path& file_;
};

std::string header(const RestoreOptions& options, const PackedOrigin& origin) {
    std::string out(kMagic, kMagicBytes);
    for (std::uint32_t value : {options.blockSize, options.batchBlocks, options.compressionType,
                                options.compressionLevel, options.encryptionType}) {
        platform::appendBigEndian(out, value, 4);
    }
    platform::appendBigEndian(out, options.requestKey ? 1 : 0, 1);
    if (options.requestKey) {
        platform::appendBigEndian(out, options.requestKey->getType(), 2);
        putText(out, options.requestKey->key());
        putText(out, options.requestKey->iv());
    }
    platform::appendBigEndian(out, origin.agent.empty() ? 0 : 1, 1);
    if (!origin.agent.empty()) {
        putText(out, origin.agent);
        putText(out, origin.fingerprint);
        platform::appendBigEndian(out, static_cast<std::uint64_t>(origin.point), 8);
        putText(out, origin.deviceID);
    }
    return out;
}

}  // namespace

RestoreSummary packRestore(const RestoreOptions& options, BlockSource& source,
                           const PackedOrigin& origin, const std::filesystem::path& file) {
    if (options.encryptionType == 1 && !options.requestKey) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Only blocks enciphered with a key in the request can be packed ahead");
    }
    auto start = std::chrono::steady_clock::now();
    BatchPipeline pipeline(options, source, options.workers);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::string text = header(options, origin);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    RestoreSummary summary;
    RestoreUnit unit;
    while (pipeline.next(unit)) {
        text.clear();
        platform::appendBigEndian(text, unit.blockCount, 2);
        platform::appendBigEndian(text, unit.plainBytes, 8);
        platform::appendBigEndian(text, unit.recordBytes, 8);
        platform::appendBigEndian(text, unit.compressedBlocks, 8);
        platform::appendBigEndian(text, unit.bytes.size(), 8);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.write(unit.bytes.data(), static_cast<std::streamsize>(unit.bytes.size()));
        summary.blocksSent += unit.blockCount;
        summary.plainBytes += unit.plainBytes;
        summary.wireBytes += unit.recordBytes;
        summary.compressedBlocks += unit.compressedBlocks;
        ++summary.batches;
    }
    out.close();
    if (!out)
        ZENTRAD_THROW(runtime::AgentException, "Cannot write the packed restore " + file.string());
    summary.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return summary;
}

PackedRestoreReader::PackedRestoreReader(const std::filesystem::path& file)
    : in_(file, std::ios::binary), file_(file) {
    if (!in_)
        ZENTRAD_THROW(runtime::AgentException, "Cannot read the packed restore " + file.string());
    FileReader read(in_, file_);
    char magic[kMagicBytes];
    read.bytes(magic, kMagicBytes);
    if (std::memcmp(magic, kMagic, kMagicBytes) != 0)
        ZENTRAD_THROW(runtime::AgentException, file.string() + " is not a packed restore");
    for (std::uint32_t* value :
         {&options_.blockSize, &options_.batchBlocks, &options_.compressionType,
          &options_.compressionLevel, &options_.encryptionType}) {
        *value = static_cast<std::uint32_t>(read.number(4));
    }
    options_.maxBlocks = options_.batchBlocks;
    if (read.number(1) == 1) {
        auto type = static_cast<std::uint16_t>(read.number(2));
        std::string key = read.text();
        options_.requestKey.emplace(type, std::move(key), read.text());
    }
    if (read.number(1) == 1) {
        origin_.agent = read.text();
        origin_.fingerprint = read.text();
        origin_.point = static_cast<std::int64_t>(read.number(8));
        origin_.deviceID = read.text();
    }
}

bool PackedRestoreReader::next(RestoreUnit& unit) {
    FileReader read(in_, file_);
    unsigned char count[2];
    if (!read.bytes(reinterpret_cast<char*>(count), 2, true))
        return false;
    unit.batch = batch_++;
    unit.blockCount = static_cast<std::uint16_t>((count[0] << 8) | count[1]);
    unit.plainBytes = read.number(8);
    unit.recordBytes = read.number(8);
    unit.compressedBlocks = read.number(8);
    std::uint64_t length = read.number(8);
    // A unit is its codes, the digest and the announced records, each at most a block of
    // data plus what deflating and enciphering may add; anything longer is not one of ours
    // and is refused before it is allocated.
    constexpr std::uint64_t kUnitFrameBytes = 4 + 4 + blocks::kDigestBytes;
    constexpr std::uint64_t kGrowthPerBlock = 64;
    std::uint64_t largest =
        kUnitFrameBytes + std::uint64_t{unit.blockCount} * (blocks::kBlockRecordHeaderBytes +
                                                            options_.blockSize + kGrowthPerBlock);
    if (unit.blockCount > options_.batchBlocks || length > largest ||
        length > (std::uint64_t{1} << 32))
        ZENTRAD_THROW(runtime::AgentException, "The packed restore " + file_.string() +
                                                   " holds a batch too large to be one");
    // The header's block size is the file's word too: what is allocated is never more than
    // the file still holds.
    std::streampos here = in_.tellg();
    in_.seekg(0, std::ios::end);
    std::streampos end = in_.tellg();
    in_.seekg(here);
    if (here < 0 || end < here || length > static_cast<std::uint64_t>(end - here))
        ZENTRAD_THROW(runtime::AgentException,
                      "The packed restore " + file_.string() + " is cut short");
    unit.bytes.resize(length);
    read.bytes(unit.bytes.data(), length);
    return true;
}

void checkPackedTarget(const PackedOrigin& origin, const std::string& target,
                       const std::optional<std::string>& fromAgent, const ReachedAgent& reached) {
    if (origin.agent.empty())
        return;  // an image's blocks belong to no agent
    std::string what = "the packed restore holds point " + std::to_string(origin.point) + " of " +
                       origin.deviceID + " of the agent " + origin.agent;
    if (fromAgent) {
        if (*fromAgent != origin.agent)
            throw UsageError(what + ", not of " + *fromAgent);
        return;
    }
    if (origin.agent != target)
        throw UsageError(what + ", not of " + target + ": add from-agent=" + origin.agent +
                         " to restore it here");
    if (origin.fingerprint.empty())
        return;
    if (!reached.keyProven) {
        ZENTRAD_THROW(runtime::AgentException,
                      "The agent is in recovery mode, where it does not prove its key: " + what +
                          ", name it with from-agent=" + origin.agent);
    }
    std::string fingerprint = keyFingerprint(reached.publicKeyPem);
    if (fingerprint != origin.fingerprint) {
        ZENTRAD_THROW(runtime::AgentException, "The agent reached is not " + origin.agent +
                                                   ": its key is " + fingerprint + ", not " +
                                                   origin.fingerprint + "; " + what);
    }
}

}  // namespace backup_server
