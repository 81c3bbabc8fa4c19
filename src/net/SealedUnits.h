// Protocol version 2 seals the plain stream too. Every unit that version 1 sends bare (log
// records, keep-alives, block maps, digest batches, sector and file-restore units, plain
// acknowledgements) travels inside sealed units, each
//   PROT_SEALED | u32 C | C bytes: the channel's seal of up to kMaxSealedPiece plain bytes
// counted in the same sequence as the encrypted messages. The receiver reads the plain
// stream as the concatenation of what the units open to, so a unit may carry several of
// version 1's units or part of one; the bytes inside are version 1's, unchanged. Only
// encrypted messages (already sealed) and the records of a block batch (each sealed by the
// request's BlockSealer) with the batch's two framing units stay outside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "crypto/SecureChannel.h"
#include "net/Codes.h"

namespace net {

// Plain bytes per sealed unit; a longer run is cut into several units.
inline constexpr std::size_t kMaxSealedPiece = 1u << 20;

// Appends the sealed units that carry plain to out. The caller holds channel.sendLock()
// until out is written, so the wire keeps the channel's order.
void appendSealedUnits(std::string& out, crypto::SecureChannel& channel, std::string_view plain);

// The codes that may arrive unsealed in version 2: an encrypted message, and a block
// batch's framing (its records are sealed one by one, its digest checked against them).
constexpr bool mayArriveUnsealed(Code code) {
    return code == PROT_ENCRYPTED || code == PROT_BLOCK_STREAM || code == PROT_BLOCK_STREAM_DIGEST;
}

}  // namespace net
