// restore-files: sends local files and folders to the agent's file restore and prints what
// the agent answered.
#include <iomanip>

#include "backup-server/commands/Command.h"
#include "backup-server/session/FileRestore.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/commands/PointSelection.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

struct RestoreFilesArguments {
    FileRestoreHeader header;
    FileRestoreOptions options;
    bool unixTimes = false;
    std::vector<std::string> sources;
};

std::uint32_t numberValue(const std::string& word, const std::string& value) {
    try {
        std::size_t used = 0;
        unsigned long number = std::stoul(value, &used);
        if (used == value.size() && number <= 0xFFFFFFFFul)
            return static_cast<std::uint32_t>(number);
    } catch (const std::exception&) {
        // Out of range or no digits: refused below with the word named, like trailing text.
    }
    throw UsageError("not a number: " + word);
}

// Words are key=value settings or sources (folders, or @LIST files).
RestoreFilesArguments parseArguments(const std::vector<std::string>& words) {
    RestoreFilesArguments arguments;
    for (const auto& word : words) {
        auto equals = word.find('=');
        std::string key = equals == std::string::npos ? "" : word.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
        if (key == "target") {
            arguments.header.targetPath = value;
        } else if (key == "device") {
            arguments.header.useVolume = true;
            arguments.header.deviceID = value;
        } else if (key == "chunk") {
            arguments.options.chunkBytes = numberValue(word, value);
        } else if (key == "keepalives") {
            arguments.options.keepAlivesBeforeData = numberValue(word, value);
        } else if (key == "times") {
            arguments.unixTimes = value == "unix";
        } else {
            arguments.sources.push_back(word);
        }
    }
    if (arguments.sources.empty() ||
        arguments.header.targetPath.empty() == arguments.header.deviceID.empty()) {
        throw UsageError("restore-files needs target=PATH or device=ID and at least one source");
    }
    return arguments;
}

std::vector<FileSource> collectSources(const RestoreFilesArguments& arguments) {
    std::vector<FileSource> sources;
    for (const auto& name : arguments.sources) {
        auto more = name.rfind('@', 0) == 0 ? readFileList(name.substr(1)) : collectFolder(name);
        sources.insert(sources.end(), std::make_move_iterator(more.begin()),
                       std::make_move_iterator(more.end()));
    }
    if (arguments.unixTimes)
        useUnixTimes(sources);
    return sources;
}

}  // namespace

void printFileRestoreReport(const CommandContext& context, const FileRestoreReport& report,
                            const std::vector<std::string>& unread) {
    std::vector<std::string> failures = unread;
    failures.insert(failures.end(), report.failures.begin(), report.failures.end());
    if (context.json) {
        JsonText json;
        json.beginObject().key("restored").value(report.restored);
        json.key("failed").value(report.failed + unread.size()).key("bytes").value(report.bytes);
        json.key("seconds").value(report.seconds).key("failures").beginArray();
        for (const std::string& failure : failures)
            json.value(failure);
        json.endArray().key("agent_summary").value(report.agentSummary.value_or(""));
        json.key("agent_agrees").value(report.agentSummaryMatches).endObject();
        *context.out << json.text() << "\n";
        return;
    }
    std::ostream& out = *context.out;
    for (const auto& failure : report.failures)
        out << "failed: " << failure << "\n";
    double mib = static_cast<double>(report.bytes) / (1024.0 * 1024.0);
    out << "restored " << report.restored << " items (" << report.bytes << " bytes), "
        << report.failed + unread.size() << " failed, in " << std::fixed << std::setprecision(2)
        << report.seconds << " s (" << (report.seconds > 0 ? mib / report.seconds : 0.0)
        << " MiB/s)\n";
    out << "agent: " << report.agentSummary.value_or("no summary")
        << (report.agentSummaryMatches ? " (agrees)" : " (DOES NOT AGREE)") << "\n";
}

int restoreFilesCommand(CommandContext& context) {
    if (startsWithStore(context.arguments))
        return restorePointFilesCommand(context);
    RestoreFilesArguments arguments = parseArguments(context.arguments);
    std::vector<FileSource> sources = collectSources(arguments);
    context.messages() << "restoring " << sources.size() << " items to "
                       << (arguments.header.useVolume ? "volume " + arguments.header.deviceID
                                                      : arguments.header.targetPath)
                       << "\n";
    auto session = context.openSession();
    FileRestoreReport report = restoreFiles(*session, arguments.header, sources, arguments.options);
    session->finish();
    printFileRestoreReport(context, report, {});
    return report.failed == 0 && report.agentSummaryMatches ? 0 : 1;
}

}  // namespace backup_server
