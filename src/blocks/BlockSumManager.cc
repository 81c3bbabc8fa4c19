#include "blocks/BlockSumManager.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <system_error>

#include "logging/Logger.h"
#include "runtime/Exceptions.h"

namespace blocks {
namespace {

// A suffix no other manager in this or another agent process will pick: a process-wide
// counter and a random number.
std::string uniqueSuffix() {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t processToken =
        std::random_device{}() | (std::uint64_t{std::random_device{}()} << 32);
    char text[48];
    std::snprintf(text, sizeof text, ".%016llx.%llu", static_cast<unsigned long long>(processToken),
                  static_cast<unsigned long long>(counter.fetch_add(1)));
    return text;
}

}  // namespace

BlockSumManager::BlockSumManager(const std::filesystem::path& directory,
                                 const std::string& deviceID, std::uint64_t blockCount) {
    initialize(directory, deviceID, blockCount);
}

BlockSumManager::~BlockSumManager() {
    removeFile();
}

std::string BlockSumManager::sanitizeName(const std::string& name) {
    std::string result = name;
    for (char& c : result) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
        if (!keep)
            c = '_';
    }
    return result;
}

void BlockSumManager::initialize(const std::filesystem::path& directory,
                                 const std::string& deviceID, std::uint64_t blockCount) {
    removeFile();
    reading_ = false;
    windowFirst_ = 0;
    windowRecords_ = 0;
    usedBlocks_ = std::make_unique<IndexedBlockMap>(blockCount);
    directory_ = directory;
    path_ = directory_ / (sanitizeName(deviceID) + uniqueSuffix());
    if (!std::filesystem::exists(directory_))
        std::filesystem::create_directory(directory_);
    file_.open(path_, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file_.is_open() || file_.fail()) {
        ZENTRAD_THROW(runtime::AgentException, "Failed to open blocksum file " + path_.string());
    }
    initialized_ = true;
}

void BlockSumManager::addDigest(std::uint64_t blockNumber, const BlockDigest& digest) {
    if (!initialized_)
        ZENTRAD_THROW(runtime::AgentException, "blocksum file is not open");
    usedBlocks_->sequentiallySetBit(blockNumber);
    // Records are only ever appended; a query moves the stream's position, so after one go
    // back to the end. Seeking before every append would flush the buffer each time.
    if (reading_) {
        file_.seekp(0, std::ios::end);
        reading_ = false;
    }
    file_.write(reinterpret_cast<const char*>(digest.data()),
                static_cast<std::streamsize>(digest.size()));
    if (!file_) {
        ZENTRAD_THROW(runtime::AgentException, "Failed to write blocksum file " + path_.string());
    }
}

bool BlockSumManager::isBlockDuplicate(const Block& block) {
    if (!initialized_ || block.index() >= usedBlocks_->capacity() ||
        !usedBlocks_->bit(block.index())) {
        return false;
    }
    std::uint64_t record = usedBlocks_->getUsedBlockIndex(block.index());
    if (record < windowFirst_ || record - windowFirst_ >= windowRecords_)
        readWindow(record, block.index());
    const unsigned char* stored = window_.data() + (record - windowFirst_) * kDigestBytes;
    return std::equal(stored, stored + kDigestBytes, block.getDigest().begin());
}

// Records are never rewritten, so a window stays valid while more are appended.
void BlockSumManager::readWindow(std::uint64_t record, std::uint64_t block) {
    std::uint64_t count = std::min(kWindowRecords, digestCount() - record);
    window_.resize(kWindowRecords * kDigestBytes);
    windowRecords_ = 0;
    reading_ = true;
    // Seeking flushes appended records that are still buffered.
    file_.seekg(static_cast<std::streamoff>(record * kDigestBytes));
    file_.read(reinterpret_cast<char*>(window_.data()),
               static_cast<std::streamsize>(count * kDigestBytes));
    if (!file_) {
        file_.clear();
        ZENTRAD_THROW(runtime::AgentException,
                      "Failed to read blocksum from file for block #" + std::to_string(block));
    }
    windowFirst_ = record;
    windowRecords_ = count;
}

void BlockSumManager::removeFile() noexcept {
    if (!initialized_)
        return;
    initialized_ = false;
    file_.close();
    std::error_code error;
    std::filesystem::remove(path_, error);
    if (error) {
        logging::logWarn() << "Could not remove blocksum file " << path_.string() << ": "
                           << error.message();
    }
}

}  // namespace blocks
