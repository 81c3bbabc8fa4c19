#include "backup-server/VolumeStore.h"

#include <map>
#include <sstream>

#include "blocks/BlockSumManager.h"
#include "util/FileUtil.h"
#include "winutil/Exceptions.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> readSettings(const fs::path& file) {
    std::map<std::string, std::string> settings;
    std::istringstream text(util::FileUtil::readFile(file));
    for (std::string line; std::getline(text, line);) {
        auto equals = line.find(" = ");
        if (equals != std::string::npos)
            settings[line.substr(0, equals)] = line.substr(equals + 3);
    }
    return settings;
}

std::uint64_t number(const std::map<std::string, std::string>& settings, const std::string& key) {
    auto found = settings.find(key);
    if (found == settings.end() || found->second.empty() ||
        found->second.find_first_not_of("0123456789") != std::string::npos ||
        found->second.size() > 19) {
        ZENTRAD_THROW(winutil::AgentException, "Damaged volume store: no valid " + key);
    }
    return std::stoull(found->second);
}

[[noreturn]] void damaged(const std::string& what) {
    ZENTRAD_THROW(winutil::AgentException, "Damaged volume store: " + what);
}

}  // namespace

VolumeStore::VolumeStore(const fs::path& root, const std::string& deviceID)
    : folder_(root / blocks::BlockSumManager::sanitizeName(deviceID)), deviceID_(deviceID) {
    fs::create_directories(folder_);
    if (fs::exists(folder_ / "volume")) {
        loadGeometry();
        loadUsedMap();
        openFiles();
    }
}

void VolumeStore::loadGeometry() {
    auto settings = readSettings(folder_ / "volume");
    std::uint64_t size = number(settings, "block-size");
    std::uint64_t count = number(settings, "block-count");
    if (size == 0 || size > blocks::Block::kMaxSize || count == 0 || count > (1ull << 40))
        damaged("impossible geometry");
    blockSize_ = static_cast<std::uint32_t>(size);
    blockCount_ = count;
    if (fs::file_size(folder_ / "image") != blockSize_ * blockCount_ ||
        fs::file_size(folder_ / "digests") != blocks::kDigestBytes * blockCount_) {
        damaged("image or digests do not fit the geometry");
    }
}

void VolumeStore::loadUsedMap() {
    used_ = blocks::BlockMap(blockCount_);
    if (!fs::exists(folder_ / "used.map"))
        return;
    std::string bytes = util::FileUtil::readFile(folder_ / "used.map");
    if (bytes.size() != used_.byteCount())
        damaged("used.map does not fit the geometry");
    used_.appendBits(reinterpret_cast<const unsigned char*>(bytes.data()), blockCount_);
}

void VolumeStore::openFiles() {
    auto mode = std::ios::in | std::ios::out | std::ios::binary;
    image_.close();
    digests_.close();
    image_.open(folder_ / "image", mode);
    digests_.open(folder_ / "digests", mode);
    if (!image_ || !digests_)
        ZENTRAD_THROW(winutil::AgentException, "Cannot open the volume store " + folder_.string());
}

std::optional<std::string> VolumeStore::journalKey() const {
    fs::path file = folder_ / "journal.key";
    if (!fs::exists(file))
        return std::nullopt;
    std::string key = util::FileUtil::readFile(file);
    if (key.size() != kJournalKeyBytes)
        return std::nullopt;
    return key;
}

void VolumeStore::beginBackup(std::uint32_t blockSize, std::uint64_t blockCount) {
    fs::remove(folder_ / "journal.key");
    if (blockSize != blockSize_ || blockCount != blockCount_)
        resetImage(blockSize, blockCount);
}

void VolumeStore::resetImage(std::uint32_t blockSize, std::uint64_t blockCount) {
    image_.close();
    digests_.close();
    fs::remove(folder_ / "used.map");
    for (const char* name : {"image", "digests"}) {
        fs::remove(folder_ / name);
        std::ofstream(folder_ / name, std::ios::binary).close();
    }
    // Both files are sparse: nothing is allocated until a block arrives.
    fs::resize_file(folder_ / "image", std::uint64_t{blockSize} * blockCount);
    fs::resize_file(folder_ / "digests", blocks::kDigestBytes * blockCount);
    std::ostringstream volume;
    volume << "device-id = " << deviceID_ << "\nblock-size = " << blockSize
           << "\nblock-count = " << blockCount << "\n";
    util::FileUtil::writeFileAtomically(folder_ / "volume", volume.str());
    blockSize_ = blockSize;
    blockCount_ = blockCount;
    used_ = blocks::BlockMap(blockCount);
    openFiles();
}

void VolumeStore::checkIndex(std::uint64_t index) const {
    if (index >= blockCount_) {
        ZENTRAD_THROW(winutil::AgentException, "Block #" + std::to_string(index) +
                                                   " lies beyond the volume's " +
                                                   std::to_string(blockCount_) + " blocks");
    }
}

void VolumeStore::writeBlock(std::uint64_t index, const unsigned char* data,
                             const blocks::BlockDigest& digest) {
    checkIndex(index);
    image_.seekp(static_cast<std::streamoff>(index * blockSize_));
    image_.write(reinterpret_cast<const char*>(data), blockSize_);
    digests_.seekp(static_cast<std::streamoff>(index * blocks::kDigestBytes));
    digests_.write(reinterpret_cast<const char*>(digest.data()), digest.size());
    if (!image_ || !digests_)
        ZENTRAD_THROW(winutil::AgentException, "Cannot write block #" + std::to_string(index));
}

blocks::BlockDigest VolumeStore::readDigest(std::uint64_t index) {
    checkIndex(index);
    blocks::BlockDigest digest{};
    digests_.seekg(static_cast<std::streamoff>(index * blocks::kDigestBytes));
    digests_.read(reinterpret_cast<char*>(digest.data()), digest.size());
    if (!digests_)
        ZENTRAD_THROW(winutil::AgentException, "Cannot read digest #" + std::to_string(index));
    return digest;
}

std::string VolumeStore::readBlock(std::uint64_t index) {
    checkIndex(index);
    std::string data(blockSize_, '\0');
    image_.seekg(static_cast<std::streamoff>(index * blockSize_));
    image_.read(data.data(), blockSize_);
    if (!image_)
        ZENTRAD_THROW(winutil::AgentException, "Cannot read block #" + std::to_string(index));
    return data;
}

void VolumeStore::commit(const blocks::BlockMap& used, const std::string& journalKey,
                         const std::string& historyLine) {
    image_.flush();
    digests_.flush();
    if (!image_ || !digests_)
        ZENTRAD_THROW(winutil::AgentException, "Cannot write the volume store");
    util::FileUtil::writeFileAtomically(
        folder_ / "used.map",
        std::string(reinterpret_cast<const char*>(used.bytes()), used.byteCount()));
    used_ = used;
    util::FileUtil::writeFileAtomically(folder_ / "journal.key", journalKey);
    std::ofstream(folder_ / "history", std::ios::app) << historyLine << "\n";
}

}  // namespace backup_server
