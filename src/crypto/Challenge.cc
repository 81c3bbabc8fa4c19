#include "crypto/Challenge.h"

namespace crypto::handshake {

std::string sealChallenge(const KeyMsg& protocolKey, const RsaKeyPtr& serverKey) {
    return protocolKey.encrypt(serverKey);
}

bool responseMatches(const KeyMsg& protocolKey, const RsaKeyPtr& agentPrivateKey,
                     std::string_view sealedResponse) {
    return KeyMsg(agentPrivateKey, sealedResponse) == protocolKey;
}

std::string answerChallenge(const RsaKeyPtr& agentPrivateKey, const RsaKeyPtr& serverKey,
                            std::string_view sealedChallenge) {
    return KeyMsg(agentPrivateKey, sealedChallenge).encrypt(serverKey);
}

}  // namespace crypto::handshake
