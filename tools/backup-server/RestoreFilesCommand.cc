// restore-files: sends local files and folders to the agent's file restore and prints what
// the agent answered.
#include <iomanip>

#include "backup-server/Command.h"
#include "backup-server/FileRestore.h"
#include "winutil/Exceptions.h"

namespace backup_server {
namespace {

struct RestoreFilesArguments {
    FileRestoreHeader header;
    FileRestoreOptions options;
    bool unixTimes = false;
    std::vector<std::string> sources;
};

std::uint32_t numberArgument(const std::vector<std::string>& words, std::size_t& i) {
    if (i + 1 >= words.size())
        ZENTRAD_THROW(winutil::AgentException, words[i] + " needs a value");
    return static_cast<std::uint32_t>(std::stoul(words[++i]));
}

RestoreFilesArguments parseArguments(const std::vector<std::string>& words) {
    RestoreFilesArguments arguments;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if ((word == "--target" || word == "--device") && i + 1 < words.size()) {
            arguments.header.useVolume = word == "--device";
            (word == "--device" ? arguments.header.deviceID : arguments.header.targetPath) =
                words[++i];
        } else if (word == "--chunk") {
            arguments.options.chunkBytes = numberArgument(words, i);
        } else if (word == "--keepalives") {
            arguments.options.keepAlivesBeforeData = numberArgument(words, i);
        } else if (word == "--unix-times") {
            arguments.unixTimes = true;
        } else {
            arguments.sources.push_back(word);
        }
    }
    if (arguments.sources.empty() ||
        (arguments.header.targetPath.empty() && arguments.header.deviceID.empty())) {
        ZENTRAD_THROW(winutil::AgentException,
                      "restore-files needs --target PATH or --device ID and at least one source");
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

void printReport(std::ostream& out, const FileRestoreReport& report) {
    for (const auto& failure : report.failures)
        out << "failed: " << failure << "\n";
    double mib = static_cast<double>(report.bytes) / (1024.0 * 1024.0);
    out << "restored " << report.restored << " items (" << report.bytes << " bytes), "
        << report.failed << " failed, in " << std::fixed << std::setprecision(2) << report.seconds
        << " s (" << (report.seconds > 0 ? mib / report.seconds : 0.0) << " MiB/s)\n";
    out << "agent: " << report.agentSummary.value_or("no summary")
        << (report.agentSummaryMatches ? " (agrees)" : " (DOES NOT AGREE)") << "\n";
}

}  // namespace

int restoreFilesCommand(CommandContext& context) {
    RestoreFilesArguments arguments = parseArguments(context.arguments);
    std::vector<FileSource> sources = collectSources(arguments);
    *context.out << "restoring " << sources.size() << " items to "
                 << (arguments.header.useVolume ? "volume " + arguments.header.deviceID
                                                : arguments.header.targetPath)
                 << "\n";
    auto session = context.openSession();
    FileRestoreReport report = restoreFiles(*session, arguments.header, sources, arguments.options);
    session->finish();
    printReport(*context.out, report);
    return report.failed == 0 && report.agentSummaryMatches ? 0 : 1;
}

}  // namespace backup_server
