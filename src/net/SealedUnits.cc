#include "net/SealedUnits.h"

#include <algorithm>
#include <cstdint>

#include "platform/ByteOrder.h"

namespace net {

void appendSealedUnits(std::string& out, crypto::SecureChannel& channel, std::string_view plain) {
    while (!plain.empty()) {
        std::string_view piece = plain.substr(0, std::min(plain.size(), kMaxSealedPiece));
        plain.remove_prefix(piece.size());
        std::uint64_t sequence = 0;
        std::string sealed = channel.sealMessage(piece, sequence);
        platform::appendBigEndian(out, PROT_SEALED, 4);
        platform::appendBigEndian(out, sealed.size(), 4);
        out += sealed;
    }
}

}  // namespace net
