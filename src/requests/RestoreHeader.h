// The fields that open the body of a volume restore and of a partition-table restore
// (integers big-endian, strings as u32 length and bytes):
//   u32 | u32 | u32 | string deviceID | string | string
// The unnamed fields are read and not used.
#pragma once

#include <cstdint>
#include <string>

#include "net/EncryptedMessage.h"

namespace requests {

struct RestoreHeader {
    std::uint32_t unused1 = 0;
    std::uint32_t unused2 = 0;
    std::uint32_t unused3 = 0;
    std::string deviceID;
    std::string unusedText1;
    std::string unusedText2;

    // Reads the fields in order from the message; fails as the message's reads do when it
    // ends early.
    static RestoreHeader read(net::EncryptedMessage& message);
};

}  // namespace requests
