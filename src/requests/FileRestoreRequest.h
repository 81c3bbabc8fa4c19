// Restores single files and directories that the server sends one at a time, below a
// restore root: a directory the server names, or the drive of a volume named by its device
// ID. The header arrives in the encrypted request and is acknowledged with PROT_ACK; the
// items follow on the plain stream:
//   PROT_FILE_RESTORE_BEGIN
//   { PROT_FILE_NEXT | u32 L | L-byte key-value record | PROT_FILE_COUNTER | u64 counter |
//     data (see FileRestoreData.h) | agent: PROT_FILE_RESTORED counter, or PROT_FILE_FAILED
//     counter reason | PROT_FILE_ITEM_END } ...
//   PROT_FILE_LIST_END          agent: PROT_FILE_RESTORE_DONE
// An item that cannot be restored is reported failed and its data skipped, however many
// fail; the restore goes on with the next. Directory times are applied once every item has
// been written, so writing a directory's contents does not move them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "requests/FileRestoreData.h"
#include "requests/FileRestoreItem.h"
#include "requests/FileRestoreMetadata.h"
#include "requests/Request.h"

namespace requests {

class FileRestoreRequest : public Request {
  public:
    // Longest attribute record accepted: a path of 32767 UTF-16 characters is under 100 KiB
    // of UTF-8.
    static constexpr std::uint32_t kMaxRecordBytes = 1u << 20;
    // Failures logged one by one; later ones are only counted (each is still reported to the
    // server).
    static constexpr std::uint64_t kLoggedFailures = 50;

    FileRestoreRequest(net::ServerConnection& connection, net::EncryptedMessage& message,
                       const RequestContext& context);

    // receiveRequest, then restoreFiles.
    void execute() override;
    // Reads and checks the header, settles the restore root, acknowledges.
    void receiveRequest();
    // The item loop, then the directory times and PROT_FILE_RESTORE_DONE.
    void restoreFiles();

  private:
    void readHeader();
    std::wstring findRestoreRoot() const;
    net::Code readItemCode();
    void restoreItem();
    std::string readRecord();
    void restoreContent(const util::KeyValueMap& record, FileRestoreItem& item,
                        std::uint64_t fileCounter);
    // Receives and writes one file's data, counting bytesLeft down.
    void restoreFileData(const std::wstring& target, std::uint64_t& bytesLeft,
                         std::uint64_t fileCounter);
    void reportFailure(const FileRestoreItem& item, std::uint64_t fileCounter,
                       const std::exception& error);
    void applyDirectoryTimes();

    std::uint32_t field1_ = 0;
    std::uint32_t field2_ = 0;
    std::uint32_t field3_ = 0;
    std::uint8_t useVolume_ = 0;
    std::string targetPath_;
    std::string deviceID_;
    std::string extraText_;
    std::uint32_t field4_ = 0;
    std::uint8_t flag1_ = 0;
    std::uint8_t flag2_ = 0;

    std::wstring restoreRoot_;
    std::vector<FileRestoreMetadata> pendingDirectories_;
    FileRestoreData data_;
    std::uint64_t restoredCount_ = 0;
    std::uint64_t failureCount_ = 0;
};

}  // namespace requests
