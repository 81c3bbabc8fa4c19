// Restores one volume: writes the blocks the server streams back onto the partition named
// by the request's device ID, through the volume device that occupies that partition.
// Nothing is written outside the partition.
//
// Request body (after the request code; integers big-endian, strings as u32 length and
// bytes): the restore header (requests/RestoreHeader.h: u32 | u32 | u32 | string deviceID
// | string | string), then
//   u32 blockSize | u64 | u32 | u32 maxBlocks | u32 encryptionType | u8 | u8
//   | u8 keyPresent | [key record]
// The unnamed fields are read and not used. The key record (u16 type | u16 K | key |
// u16 V | IV) deciphers the blocks; without it the connection's backup session key does.
//
// Exchange: PROT_ACK (encrypted) once the request is read and found sound;
// PROT_RESTORE_READY once the partition is open; the block stream (blocks/NetProducer.h)
// ending with an encrypted PROT_RESTORE_END; then PROT_ACK (encrypted) and
// PROT_RESTORE_DONE when every block was written. A failure ends the connection with
// "Restore Failed" after the failing stage logged its cause.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "blocks/RestorePipeline.h"
#include "crypto/KeyMsg.h"
#include "requests/Request.h"
#include "requests/RestoreHeader.h"

namespace requests {

class RestoreRequest : public Request {
  public:
    static constexpr std::uint32_t kEncryptionNone = 0;
    static constexpr std::uint32_t kEncryptionBlowfish = 1;

    using Request::Request;
    void execute() override;

    // Reads and checks the request body, then acknowledges it. Throws
    // runtime::AgentException when bytes remain after the body, and for an unknown
    // encryption type, a block size that no volume has, an empty batch or enciphered blocks
    // with no key to decipher them, before anything is opened.
    void receiveRequest();

  private:
    void readBody();
    void checkSettings() const;
    std::optional<crypto::KeyMsg> decipheringKey() const;
    void receiveBlocks(blocks::RestorePartition& partition);
    // After a restore that succeeded: NTFS's boot sector copy into the partition's last
    // sector, through a new handle that locks the volume again.
    void restoreBootSectorCopy(const std::string& path, std::uint64_t offset, std::uint64_t length);

    RestoreHeader header_;
    std::uint32_t blockSize_ = 0;
    std::uint64_t unused64_ = 0;
    std::uint32_t unused4_ = 0;
    std::uint32_t maxBlocks_ = 0;
    std::uint32_t encryptionType_ = 0;
    std::uint8_t unusedByte1_ = 0;
    std::uint8_t unusedByte2_ = 0;
    std::optional<crypto::KeyMsg> key_;
};

}  // namespace requests
