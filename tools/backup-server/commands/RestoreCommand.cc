// restore DEVICE-ID (STORE [agent=NAME] [from-agent=NAME] [point=N] [from=DEVICE-ID] |
//                   image=FILE block-size=N)
//         [compression=0|1] [level=N] [encryption=0|1] [key=session|request] [batch=N]
//         [workers=N] [pack=FILE]
// restore DEVICE-ID packed=FILE [agent=NAME] [from-agent=NAME]
#include <memory>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/DeviceHints.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/session/AgentKeyFiles.h"
#include "backup-server/session/ImageBlockSource.h"
#include "backup-server/session/PackedRestore.h"
#include "backup-server/session/StoreBlockSource.h"
#include "backup-server/session/VolumeRestore.h"
#include "backup-server/store/PointReader.h"
#include "backup-server/store/Progress.h"
#include "backup-server/store/StoreAgents.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

struct RestoreArguments {
    RestoreOptions options;
    std::string store;
    std::string image;
    std::string from;
    std::optional<std::string> agent;      // the agent restored to (default: the host)
    std::optional<std::string> fromAgent;  // the agent whose point it is (default: agent)
    std::string pack;                      // pack the batches into this file instead of restoring
    std::string packed;                    // restore the batches packed into this file
    std::int64_t point = 0;                // 0: the latest
    bool keyInRequest = false;
    KeySource keys;  // unlocks an encrypted store
};

std::uint32_t numberValue(const std::string& word, const std::string& value) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError("not a number: " + word);
    }
    return static_cast<std::uint32_t>(std::stoul(value));
}

void parseOption(const std::string& word, RestoreArguments& arguments) {
    std::size_t equals = word.find('=');
    if (equals == std::string::npos)
        throw UsageError("expected KEY=VALUE: " + word);
    std::string key = word.substr(0, equals);
    std::string value = word.substr(equals + 1);
    RestoreOptions& options = arguments.options;
    if (key == "image")
        arguments.image = value;
    else if (key == "from")
        arguments.from = value;
    else if (key == "agent")
        arguments.agent = value;
    else if (key == "from-agent")
        arguments.fromAgent = value;
    else if (key == "pack" && !value.empty())
        arguments.pack = value;
    else if (key == "packed" && !value.empty())
        arguments.packed = value;
    else if (key == "point")
        arguments.point = numberValue(word, value);
    else if (key == "block-size")
        options.blockSize = numberValue(word, value);
    else if (key == "compression")
        options.compressionType = *streamSetting(word, key, value);
    else if (key == "level")
        options.compressionLevel = *streamSetting(word, key, value);
    else if (key == "encryption")
        options.encryptionType = *streamSetting(word, key, value);
    else if (key == "batch")
        options.maxBlocks = options.batchBlocks = numberValue(word, value);
    else if (key == "workers")
        options.workers = numberValue(word, value);
    else if (key == "key" && (value == "session" || value == "request"))
        arguments.keyInRequest = value == "request";
    else
        throw UsageError("unknown restore option: " + word);
}

RestoreArguments parseArguments(const std::vector<std::string>& words) {
    if (words.size() < 2)
        throw UsageError("restore needs a DEVICE-ID and a STORE (or image=FILE)");
    RestoreArguments arguments;
    arguments.options.deviceID = words[0];
    std::size_t first = 1;
    if (words[1].find('=') == std::string::npos)
        arguments.store = words[first++];
    for (std::size_t i = first; i < words.size(); ++i)
        parseOption(words[i], arguments);
    if (!arguments.packed.empty()) {
        std::size_t agentWords = (arguments.agent ? 1 : 0) + (arguments.fromAgent ? 1 : 0);
        if (!arguments.store.empty() || words.size() != 2 + agentWords)
            throw UsageError("packed=FILE takes no STORE and no option but agent= and from-agent=");
        return arguments;
    }
    if (arguments.store.empty() == arguments.image.empty())
        throw UsageError("name either a STORE or an image=FILE");
    if (!arguments.image.empty() &&
        (arguments.point != 0 || !arguments.from.empty() || arguments.agent || arguments.fromAgent))
        throw UsageError("point=, from= and the agents choose from a STORE, not from an image");
    if (arguments.options.batchBlocks == 0 || arguments.options.batchBlocks > 65535)
        throw UsageError("a batch holds 1 to 65535 blocks");
    if (arguments.options.workers > 256)
        throw UsageError("workers=0 (one per core) to 256");
    return arguments;
}

// A restore point's source owns the store (with its read lock) and the point it reads,
// and shows progress.
class PointSource : public BlockSource {
  public:
    PointSource(const std::string& root, const std::string& agent, const std::string& deviceID,
                std::int64_t id, const KeySource& keys, std::ostream& out)
        : store_(root, Store::Access::read, "restore " + deviceID, keys),
          point_(store_, choose(store_, agent, deviceID, id)),
          source_(point_),
          progress_(out, Progress::outputIsTerminal(), "restore", "blocks") {
        // Before the agent is asked for anything: a point that cannot be restored whole
        // must not overwrite the target with part of itself.
        point_.requireChunks();
        progress_.setTotal(source_.usedBlocks());
    }
    blocks::BlockPtr next() override {
        blocks::BlockPtr block = source_.next();
        progress_.update(source_.position(), source_.position() * blockSize());
        if (block == nullptr)
            progress_.finish();
        return block;
    }
    std::uint32_t blockSize() const { return point_.geometry().blockSize; }
    const PointRecord& point() const { return point_.point(); }
    Catalogue& catalogue() { return store_.catalogue(); }
    PackedOrigin origin() {
        std::optional<AgentRecord> agent = catalogue().agent(point().agent);
        return {point().agent, agent ? agent->fingerprint : "", point().id, point().deviceID};
    }
    const std::filesystem::path& storeLocalFolder() const { return store_.localFolder(); }

  private:
    static PointRecord choose(Store& store, const std::string& agent, const std::string& deviceID,
                              std::int64_t id) {
        std::optional<PointRecord> point =
            id != 0 ? store.catalogue().point(id) : store.catalogue().latest(agent, deviceID);
        if (!point) {
            ZENTRAD_THROW(runtime::AgentException,
                          id != 0 ? "The store holds no restore point " + std::to_string(id)
                                  : "The store holds no restore point of " + deviceID +
                                        " of the agent " + agent + storeDevicesHint(store));
        }
        // Another agent's point goes nowhere unless asked for by name.
        if (point->agent != agent) {
            throw UsageError("point " + std::to_string(point->id) + " is of the agent " +
                             point->agent + ", not " + agent + ": add from-agent=" + point->agent +
                             " to restore it here");
        }
        return *point;
    }

    Store store_;
    PointReader point_;
    StoreBlockSource source_;
    Progress progress_;
};

std::unique_ptr<BlockSource> openSource(RestoreArguments& arguments, const std::string& target,
                                        std::ostream& out) {
    if (!arguments.store.empty()) {
        const std::string& from =
            arguments.from.empty() ? arguments.options.deviceID : arguments.from;
        auto source =
            std::make_unique<PointSource>(arguments.store, arguments.fromAgent.value_or(target),
                                          from, arguments.point, arguments.keys, out);
        if (arguments.point != 0 && !arguments.from.empty() &&
            source->point().deviceID != arguments.from) {
            throw UsageError("point " + std::to_string(arguments.point) + " is of " +
                             source->point().deviceID + ", not of " + arguments.from);
        }
        const PointRecord& point = source->point();
        out << "restoring point " << point.id << " of " << point.deviceID << " of the agent "
            << point.agent << " (" << point.kind << ", " << point.usedBlocks << " used blocks)\n";
        arguments.options.blockSize = source->blockSize();
        return source;
    }
    if (arguments.options.blockSize == 0)
        throw UsageError("an image needs block-size=N");
    return std::make_unique<ImageBlockSource>(arguments.image, arguments.options.blockSize);
}

// The session key is the agent's own backup.key, which the server may fetch; a key in the
// request is a fresh one.
void chooseKey(AgentSession& session, RestoreArguments& arguments) {
    if (arguments.options.encryptionType != 1)
        return;
    if (arguments.keyInRequest)
        arguments.options.requestKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
    else
        arguments.options.sessionKey = openBackupKey(fetchKeys(session));
}

void printSummary(const CommandContext& context, const RestoreSummary& summary,
                  const std::string& deviceID, bool packed) {
    if (!context.json) {
        *context.out << (packed ? "packed: " : "") << describeRestore(summary) << "\n";
        return;
    }
    JsonText json;
    json.beginObject().key("device").value(deviceID).key("packed").value(packed);
    json.key("sent_blocks").value(summary.blocksSent).key("batches").value(summary.batches);
    json.key("compressed_blocks").value(summary.compressedBlocks);
    json.key("plain_bytes").value(summary.plainBytes).key("wire_bytes").value(summary.wireBytes);
    *context.out << json.key("seconds").value(summary.seconds).endObject().text() << "\n";
}

}  // namespace

int restoreCommand(CommandContext& context) {
    RestoreArguments arguments = parseArguments(context.arguments);
    arguments.keys = context.keySource;
    if (!arguments.packed.empty()) {
        PackedRestoreReader packed(arguments.packed);
        RestoreOptions options = packed.options();
        options.deviceID = arguments.options.deviceID;
        std::string target = targetAgent(arguments.agent, context.host);
        auto session = context.openSession();
        checkPackedTarget(packed.origin(), target, arguments.fromAgent, session->reachedAgent());
        RestoreSummary summary = runPackedRestore(*session, options, packed);
        session->finish();
        printSummary(context, summary, options.deviceID, false);
        return kExitOk;
    }
    std::string target = targetAgent(arguments.agent, context.host);
    std::unique_ptr<BlockSource> source = openSource(arguments, target, context.progressStream());
    if (!arguments.pack.empty()) {
        // Packed with a fresh key of its own: the request carries it when the file is
        // replayed, so no agent is needed now.
        if (arguments.options.encryptionType == 1 && !arguments.keyInRequest)
            throw UsageError("pack=FILE enciphers only with key=request");
        if (arguments.options.encryptionType == 1)
            arguments.options.requestKey.emplace(crypto::KeyMsg::kGeneratedType, 128);
        auto* point = dynamic_cast<PointSource*>(source.get());
        RestoreSummary summary = packRestore(
            arguments.options, *source, point ? point->origin() : PackedOrigin{}, arguments.pack);
        printSummary(context, summary, arguments.options.deviceID, true);
        return kExitOk;
    }
    // A backup of the volume being overwritten would keep part of the old volume and part
    // of the new: the two exclude each other when they go through this store. A store on
    // read-only media takes no backups, and so no lock there.
    std::optional<StoreLock> volumeLock;
    if (auto* point = dynamic_cast<PointSource*>(source.get())) {
        try {
            volumeLock.emplace(StoreLock::volume(point->storeLocalFolder(), target,
                                                 arguments.options.deviceID,
                                                 "restore " + arguments.options.deviceID));
        } catch (const StoreError&) {
        }
    }
    auto session = context.openSession();
    if (auto* point = dynamic_cast<PointSource*>(source.get())) {
        checkRestoreTarget(point->catalogue(), target, arguments.fromAgent.has_value(),
                           session->reachedAgent(), arguments.store);
    }
    chooseKey(*session, arguments);
    RestoreSummary summary;
    try {
        summary = runVolumeRestore(*session, arguments.options, *source);
    } catch (const std::exception&) {
        rethrowWithDeviceHint(context, *session);
    }
    session->finish();
    printSummary(context, summary, arguments.options.deviceID, false);
    return kExitOk;
}

}  // namespace backup_server
