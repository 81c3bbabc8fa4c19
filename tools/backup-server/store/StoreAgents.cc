#include "backup-server/store/StoreAgents.h"

#include <set>

#include "backup-server/store/Sha256.h"
#include "backup-server/store/StoreError.h"
#include "crypto/RsaKey.h"

namespace backup_server {
namespace {

[[noreturn]] void refuse(const std::string& why) {
    ZENTRAD_THROW(StoreError, why);
}

std::string trustAdvice(const std::string& name, const std::string& store) {
    return "If its key was replaced on purpose (a reinstalled agent), accept the new key with: "
           "backup-server --host HOST trust " +
           store + " agent=" + name + "; otherwise find out who answered";
}

}  // namespace

std::string keyFingerprint(const std::string& publicPem) {
    // Read and written again, so that the same key in another PEM layout is the same key.
    crypto::RsaKeyPtr key = crypto::RsaKey::readPublicPem(publicPem);
    if (!key)
        refuse("The agent's public key cannot be read");
    std::string canonical = key->publicPem();
    return toHex(sha256(canonical.data(), canonical.size()));
}

void admitAgent(Catalogue& catalogue, const std::string& name, const ReachedAgent& reached,
                const std::string& store) {
    if (!reached.keyProven) {
        refuse("The agent is in recovery mode, where it does not prove its key, so the store " +
               store + " cannot tell whether it is " + name + "; back it up when it runs normally");
    }
    std::string fingerprint = keyFingerprint(reached.publicKeyPem);
    if (catalogue.pinAgent(name, fingerprint) == AgentKeyCheck::mismatch) {
        refuse("The agent " + name + " of the store " + store + " has the key " +
               catalogue.agent(name)->fingerprint + ", but the agent reached presented the key " +
               fingerprint + ". " + trustAdvice(name, store));
    }
}

void checkRestoreTarget(Catalogue& catalogue, const std::string& target, bool explicitSource,
                        const ReachedAgent& reached, const std::string& store) {
    std::optional<AgentRecord> known = catalogue.agent(target);
    bool pinned = known && !known->fingerprint.empty();
    if (pinned && reached.keyProven) {
        std::string fingerprint = keyFingerprint(reached.publicKeyPem);
        if (fingerprint != known->fingerprint) {
            refuse("The agent reached is not " + target + " of the store " + store +
                   ": its key is " + fingerprint + ", not " + known->fingerprint + ". " +
                   trustAdvice(target, store));
        }
    }
    if (!reached.keyProven && pinned && !explicitSource) {
        refuse(
            "The agent is in recovery mode, where it does not prove its key: name the "
            "agent whose point it receives with from-agent=" +
            target);
    }
}

std::string targetAgent(const std::optional<std::string>& given, const std::string& host) {
    std::string name = given.value_or(host);
    if (name.empty() || name.size() > 255)
        throw UsageError("an agent's name has 1 to 255 characters: agent=" + name);
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F)
            throw UsageError("an agent's name holds no control characters");
    }
    return name;
}

std::string chooseAgent(Catalogue& catalogue, const std::optional<std::string>& name,
                        const std::string& deviceID) {
    if (name)
        return *name;
    std::vector<std::string> holders;
    for (const AgentRecord& agent : catalogue.agents()) {
        if (catalogue.latest(agent.name, deviceID))
            holders.push_back(agent.name);
    }
    if (holders.size() == 1)
        return holders.front();
    if (holders.empty())
        ZENTRAD_THROW(StoreError, "The store holds no restore point of " + deviceID +
                                      storeDevicesHint(catalogue));
    std::string names;
    for (const std::string& holder : holders)
        names += (names.empty() ? "" : ", ") + holder;
    throw UsageError("several agents have points of " + deviceID + " (" + names +
                     "): choose one with agent=NAME");
}

std::string storeDevicesHint(Catalogue& catalogue) {
    std::set<std::string> devices;
    for (const PointRecord& point : catalogue.points())
        devices.insert(point.deviceID);
    if (devices.empty())
        return " (it holds no points)";
    std::string names;
    for (const std::string& device : devices)
        names += (names.empty() ? "" : ", ") + device;
    return " (it holds points of: " + names + ")";
}

}  // namespace backup_server
