#include "requests/FileRestoreData.h"

#include <algorithm>

#include "requests/FileRestoreErrors.h"
#include "requests/FileRestoreOutput.h"
#include "runtime/RunState.h"

namespace requests {

void FileRestoreData::startItem() {
    chunkLeft_ = 0;
    dataEndRead_ = false;
}

void FileRestoreData::receive(FileRestoreOutput& output, std::uint64_t& bytesLeft,
                              std::uint64_t fileCounter) {
    if (bytesLeft == 0)
        return;
    net::Code code = readCode();
    while (code == net::PROT_KEEPALIVE)
        code = readCode();
    while (bytesLeft > 0) {
        ZENTRAD_CHECK_RUNNING();
        if (code != net::PROT_FILE_DATA_CHUNK) {
            dataEndRead_ = code == net::PROT_FILE_DATA_END;
            ZENTRAD_THROW(runtime::AgentException,
                          "Protocol error.  Expected PROT_FILE_DATA_CHUNK but received 0x" +
                              net::hexCode(code));
        }
        readChunkHeader(fileCounter, bytesLeft);
        bytesLeft -= chunkLeft_;
        readChunkBytes(&output);
        if (bytesLeft > 0)
            code = readCode();
    }
}

void FileRestoreData::expectDataEnd() {
    net::Code code = readCode();
    while (code == net::PROT_KEEPALIVE)
        code = readCode();
    net::ProtocolStream::verifyCode(net::PROT_FILE_DATA_END, code);
    dataEndRead_ = true;
}

void FileRestoreData::skip() {
    readChunkBytes(nullptr);
    while (!dataEndRead_) {
        net::Code code = readCode();
        if (code == net::PROT_FILE_DATA_END) {
            dataEndRead_ = true;
        } else if (code == net::PROT_FILE_DATA_CHUNK) {
            stream_.read64();
            chunkLeft_ = stream_.read32();
            readChunkBytes(nullptr);
        }
    }
}

net::Code FileRestoreData::readCode() {
    net::Code code = stream_.readRawCode();
    if (code == net::PROT_ERROR) {
        ZENTRAD_THROW(FileRestoreStreamError,
                      "Remote host has reported an error and closed the connection.");
    }
    return code;
}

void FileRestoreData::readChunkHeader(std::uint64_t fileCounter, std::uint64_t bytesLeft) {
    std::uint64_t chunkCounter = stream_.read64();
    std::uint32_t chunkSize = stream_.read32();
    // From here on the chunk's bytes are in the stream, whatever is wrong with it.
    chunkLeft_ = chunkSize;
    if (chunkCounter != fileCounter) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Protocol error reading file data.  Expected chunkFileCounter(" +
                          std::to_string(chunkCounter) + ") == fileCounter(" +
                          std::to_string(fileCounter) + ")");
    }
    if (chunkSize > bytesLeft) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Protocol error reading file data.  Expected Expected bytesLeft(" +
                          std::to_string(bytesLeft) + ") >= chunkSize(" +
                          std::to_string(chunkSize) + ")");
    }
}

void FileRestoreData::readChunkBytes(FileRestoreOutput* output) {
    while (chunkLeft_ > 0) {
        auto piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(chunkLeft_, kPieceBytes));
        if (buffer_.size() < piece)
            buffer_.resize(piece);
        stream_.readBytes(buffer_.data(), piece);
        chunkLeft_ -= piece;
        if (output != nullptr)
            output->write(buffer_.data(), piece);
    }
}

}  // namespace requests
