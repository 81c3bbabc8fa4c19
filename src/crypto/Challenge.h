// The cryptographic steps of the mutual challenge and response, over bytes, so that the
// handshake itself only moves strings over the connection.
#pragma once

#include <string>
#include <string_view>

#include "crypto/KeyMsg.h"
#include "crypto/RsaKey.h"

namespace crypto::handshake {

// The agent's challenge: the connection's protocol key sealed to the server's public key.
// Throws as KeyMsg::encrypt.
std::string sealChallenge(const KeyMsg& protocolKey, const RsaKeyPtr& serverKey);

// True when the server's sealed response opens, with the agent's private key, to a record
// equal to the protocol key (type, key and IV). A response that cannot be opened throws
// runtime::AgentException with the KeyMsg opening message; one that opens to a different
// record returns false.
bool responseMatches(const KeyMsg& protocolKey, const RsaKeyPtr& agentPrivateKey,
                     std::string_view sealedResponse);

// The agent's answer to the server's challenge: the record sealed to the agent, opened with
// the agent's private key and sealed again to the server's public key. Throws as KeyMsg.
std::string answerChallenge(const RsaKeyPtr& agentPrivateKey, const RsaKeyPtr& serverKey,
                            std::string_view sealedChallenge);

}  // namespace crypto::handshake
