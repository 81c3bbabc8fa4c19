#include "requests/RestoreHeader.h"

namespace requests {

RestoreHeader RestoreHeader::read(net::EncryptedMessage& message) {
    RestoreHeader header;
    header.unused1 = message.read32();
    header.unused2 = message.read32();
    header.unused3 = message.read32();
    header.deviceID = message.readString();
    header.unusedText1 = message.readString();
    header.unusedText2 = message.readString();
    return header;
}

}  // namespace requests
