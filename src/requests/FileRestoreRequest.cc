#include "requests/FileRestoreRequest.h"

#include "blocks/DiskVolume.h"
#include "logging/Logger.h"
#include "net/SocketException.h"
#include "platform/System.h"
#include "requests/FileRestoreErrors.h"
#include "requests/FileRestoreOutput.h"
#include "requests/FileRestorePath.h"
#include "runtime/RunState.h"

namespace requests {

namespace {

bool isAbsoluteRoot(const std::wstring& root) {
    bool drive = root.size() >= 3 && root[1] == L':' && root[2] == L'\\';
    return drive || root.rfind(L"\\\\", 0) == 0;
}

}  // namespace

FileRestoreRequest::FileRestoreRequest(net::ServerConnection& connection,
                                       net::EncryptedMessage& message,
                                       const RequestContext& context)
    : Request(connection, message, context), data_(connection) {}

void FileRestoreRequest::execute() {
    receiveRequest();
    restoreFiles();
}

void FileRestoreRequest::receiveRequest() {
    ZENTRAD_CHECK_RUNNING();
    readHeader();
    restoreRoot_ = findRestoreRoot();
    logging::logInfo() << "Restoring files to (" << platform::toNarrow(restoreRoot_) << ")";
    ZENTRAD_CHECK_RUNNING();
    message().clear();
    message().write32(net::PROT_ACK);
    message().send();
}

void FileRestoreRequest::readHeader() {
    field1_ = message().read32();
    field2_ = message().read32();
    field3_ = message().read32();
    useVolume_ = message().read8();
    targetPath_ = message().readString();
    deviceID_ = message().readString();
    extraText_ = message().readString();
    field4_ = message().read32();
    flag1_ = message().read8();
    flag2_ = message().read8();
    if (!message().atEnd()) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Unexpected data received while reading file restore request");
    }
}

std::wstring FileRestoreRequest::findRestoreRoot() const {
    std::wstring root;
    if (useVolume_ != 0) {
        std::string letterPath =
            blocks::DiskVolume::getDiskVolumesWithID(deviceID_)->getDriveLetterPath();
        if (letterPath.empty()) {
            ZENTRAD_THROW(runtime::AgentException,
                          "Volume (" + deviceID_ + ") has no drive letter to restore files to");
        }
        root = platform::toWide(letterPath);
    } else {
        root = UTF8ToUTF16(targetPath_);
    }
    root = restoreRootPath(root);
    // A relative root would land wherever the agent's working directory happens to be.
    if (!isAbsoluteRoot(root)) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Refusing to restore files to a path that is not absolute (" +
                          platform::toNarrow(root) + ")");
    }
    return root;
}

void FileRestoreRequest::restoreFiles() {
    ZENTRAD_CHECK_RUNNING();
    connection().readCodeExpect(net::PROT_FILE_RESTORE_BEGIN);
    net::Code code = readItemCode();
    while (code == net::PROT_FILE_NEXT) {
        ZENTRAD_CHECK_RUNNING();
        restoreItem();
        connection().readCodeExpect(net::PROT_FILE_ITEM_END);
        code = readItemCode();
    }
    applyDirectoryTimes();
    net::ProtocolStream::verifyCode(net::PROT_FILE_LIST_END, code);
    // Logged ahead of the closing code, so the records reach the server with it.
    if (failureCount_ > kLoggedFailures) {
        logging::logWarn() << "Could not restore file repeated : " << failureCount_ << " times";
    }
    logging::logInfo() << "File restore finished: " << restoredCount_ << " restored, "
                       << failureCount_ << " failed";
    connection().sendCode(net::PROT_FILE_RESTORE_DONE).flush();
}

net::Code FileRestoreRequest::readItemCode() {
    net::Code code = connection().readCode();
    if (code != net::PROT_FILE_NEXT && code != net::PROT_FILE_LIST_END) {
        ZENTRAD_THROW(runtime::AgentException,
                      "unexpected value (0x" + net::hexCode(code) + ") while restoring files");
    }
    return code;
}

void FileRestoreRequest::restoreItem() {
    util::KeyValueMap record;
    std::string bytes = readRecord();
    // A record that does not parse leaves the map empty, so the item fails on its first field.
    record.deserialize(bytes.data(), nullptr, static_cast<std::uint32_t>(bytes.size()));
    connection().readCodeExpect(net::PROT_FILE_COUNTER);
    const std::uint64_t fileCounter = connection().read64();
    data_.startItem();
    FileRestoreItem item;
    try {
        restoreContent(record, item, fileCounter);
    } catch (const net::SocketException& error) {
        logging::logError() << "Network error while restoring files: " << error.what();
        throw;
    } catch (const runtime::ShutdownException&) {
        throw;
    } catch (const FileRestoreStreamError&) {
        throw;
    } catch (const std::exception& error) {
        reportFailure(item, fileCounter, error);
        data_.skip();
        return;
    }
    auto reply = connection().sendCode(net::PROT_FILE_RESTORED);
    reply.write64(fileCounter);
    reply.flush();
    ++restoredCount_;
    data_.expectDataEnd();
}

std::string FileRestoreRequest::readRecord() {
    const std::uint32_t length = connection().read32();
    if (length > kMaxRecordBytes) {
        ZENTRAD_THROW(runtime::AgentException, "File attribute record of (" +
                                                   std::to_string(length) +
                                                   ") bytes exceeds the limit of (" +
                                                   std::to_string(kMaxRecordBytes) + ") bytes");
    }
    std::string bytes(length, '\0');
    connection().readBytes(bytes.data(), length);
    return bytes;
}

void FileRestoreRequest::restoreContent(const util::KeyValueMap& record, FileRestoreItem& item,
                                        std::uint64_t fileCounter) {
    parseFileAttributes(record, item);
    const std::wstring target = restoreTargetPath(restoreRoot_, *item.filePath);
    FileRestoreMetadata metadata{target,          item.isDirectory, item.createTime,
                                 item.accessTime, item.modifyTime,  item.attrFlags};
    std::uint64_t bytesLeft = item.fileSize;
    if (item.isDirectory) {
        createDirectories(target);
        pendingDirectories_.push_back(std::move(metadata));
    } else {
        createDirectories(parentPath(target));
        restoreFileData(target, bytesLeft, fileCounter);
        applyFileMetadata(metadata);
    }
    if (bytesLeft != 0) {
        ZENTRAD_THROW(runtime::AgentException, "Error occurred and did not write entire file (" +
                                                   displayPath(*item.filePath) + ")");
    }
}

void FileRestoreRequest::restoreFileData(const std::wstring& target, std::uint64_t& bytesLeft,
                                         std::uint64_t fileCounter) {
    FileRestoreOutput output(target);
    data_.receive(output, bytesLeft, fileCounter);
    output.keep();
}

void FileRestoreRequest::reportFailure(const FileRestoreItem& item, std::uint64_t fileCounter,
                                       const std::exception& error) {
    std::string path = item.filePath ? displayPath(*item.filePath) : std::string();
    std::string reason = "Could not restore file (" + path + "): " + error.what();
    ++failureCount_;
    if (failureCount_ <= kLoggedFailures)
        logging::logWarn() << reason;
    auto reply = connection().sendCode(net::PROT_FILE_FAILED);
    reply.write64(fileCounter);
    reply.writeString(reason);
    reply.flush();
}

void FileRestoreRequest::applyDirectoryTimes() {
    for (const auto& directory : pendingDirectories_)
        applyFileMetadata(directory);
    pendingDirectories_.clear();
}

}  // namespace requests
