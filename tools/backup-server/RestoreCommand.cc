// restore DEVICE-ID (STORE | image=FILE block-size=N) [from=DEVICE-ID] [compression=0|1]
//         [level=N] [encryption=0|1] [key=session|request] [batch=N]
#include <memory>

#include "backup-server/Command.h"
#include "backup-server/ImageBlockSource.h"
#include "backup-server/KeysGet.h"
#include "backup-server/StoreBlockSource.h"
#include "backup-server/VolumeRestore.h"
#include "winutil/Exceptions.h"

namespace backup_server {
namespace {

struct RestoreArguments {
    RestoreOptions options;
    std::string store;
    std::string image;
    std::string from;
    bool keyInRequest = false;
};

std::uint32_t numberValue(const std::string& word, const std::string& value) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        ZENTRAD_THROW(winutil::AgentException, "Not a number: " + word);
    }
    return static_cast<std::uint32_t>(std::stoul(value));
}

void parseOption(const std::string& word, RestoreArguments& arguments) {
    std::size_t equals = word.find('=');
    if (equals == std::string::npos)
        ZENTRAD_THROW(winutil::AgentException, "Expected KEY=VALUE: " + word);
    std::string key = word.substr(0, equals);
    std::string value = word.substr(equals + 1);
    RestoreOptions& options = arguments.options;
    if (key == "image")
        arguments.image = value;
    else if (key == "from")
        arguments.from = value;
    else if (key == "block-size")
        options.blockSize = numberValue(word, value);
    else if (key == "compression")
        options.compressionType = numberValue(word, value);
    else if (key == "level")
        options.compressionLevel = numberValue(word, value);
    else if (key == "encryption")
        options.encryptionType = numberValue(word, value);
    else if (key == "batch")
        options.maxBlocks = options.batchBlocks = numberValue(word, value);
    else if (key == "key" && (value == "session" || value == "request"))
        arguments.keyInRequest = value == "request";
    else
        ZENTRAD_THROW(winutil::AgentException, "Unknown restore option: " + word);
}

RestoreArguments parseArguments(const std::vector<std::string>& words) {
    if (words.size() < 2)
        ZENTRAD_THROW(winutil::AgentException, "Wrong number of arguments");
    RestoreArguments arguments;
    arguments.options.deviceID = words[0];
    std::size_t first = 1;
    if (words[1].find('=') == std::string::npos)
        arguments.store = words[first++];
    for (std::size_t i = first; i < words.size(); ++i)
        parseOption(words[i], arguments);
    if (arguments.store.empty() == arguments.image.empty())
        ZENTRAD_THROW(winutil::AgentException, "Name either a STORE or an image=FILE");
    if (arguments.options.batchBlocks == 0 || arguments.options.batchBlocks > 65535)
        ZENTRAD_THROW(winutil::AgentException, "A batch holds 1 to 65535 blocks");
    return arguments;
}

// A store's source owns the store it reads.
class OwnedStoreSource : public BlockSource {
  public:
    OwnedStoreSource(const std::string& root, const std::string& deviceID)
        : store_(root, deviceID), source_(store_) {}
    blocks::BlockPtr next() override { return source_.next(); }
    std::uint32_t blockSize() const { return store_.blockSize(); }

  private:
    VolumeStore store_;
    StoreBlockSource source_;
};

std::unique_ptr<BlockSource> openSource(RestoreArguments& arguments) {
    if (!arguments.store.empty()) {
        const std::string& from =
            arguments.from.empty() ? arguments.options.deviceID : arguments.from;
        auto source = std::make_unique<OwnedStoreSource>(arguments.store, from);
        arguments.options.blockSize = source->blockSize();
        return source;
    }
    if (arguments.options.blockSize == 0)
        ZENTRAD_THROW(winutil::AgentException, "An image needs block-size=N");
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

}  // namespace

int restoreCommand(CommandContext& context) {
    RestoreArguments arguments = parseArguments(context.arguments);
    std::unique_ptr<BlockSource> source = openSource(arguments);
    auto session = context.openSession();
    chooseKey(*session, arguments);
    RestoreSummary summary = runVolumeRestore(*session, arguments.options, *source);
    session->finish();
    *context.out << describeRestore(summary) << "\n";
    return 0;
}

}  // namespace backup_server
