// restore-files STORE DEVICE-ID [point=N] PATH... [target=PATH | device=ID] [chunk=BYTES]
// The chosen files and folders of a restore point go back to the agent through the file
// restore, by default onto the volume they came from at the same paths. They are taken
// out of the point into a private temporary folder first (so a file that cannot be read
// is known, and left out, before anything is sent), then sent with their NTFS times and
// attributes; the folder is removed afterwards.
#include <stdlib.h>

#include <iomanip>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/PointSelection.h"
#include "backup-server/commands/StoreArguments.h"
#include "backup-server/pointfiles/PointExtract.h"
#include "backup-server/session/FileRestore.h"
#include "backup-server/store/StoreAgents.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

// A folder of this machine, private to this process, removed with its contents.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zentrad-files-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr)
            ZENTRAD_THROW(runtime::AgentException, "Cannot create a temporary folder");
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// "/Users/a/b.txt" as the file restore names it: "Users\a\b.txt".
std::string itemPath(const std::string& pointPath) {
    std::string path = pointPath.substr(1);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

FileSource sourceFor(const ExtractReport::Item& extracted) {
    const PointEntry& entry = extracted.entry;
    FileSource source;
    source.item.path = itemPath(entry.path);
    source.item.isDirectory = entry.directory;
    source.item.createTime = entry.created;
    source.item.accessTime = entry.accessed;
    source.item.modifyTime = entry.modified;
    source.item.attrFlags = entry.attributes;
    source.item.mftFlags = entry.directory ? 3 : 1;  // in use, and a folder
    source.item.fileSize = entry.directory ? 0 : entry.size;
    if (!entry.directory)
        source.localFile = extracted.local;
    return source;
}

}  // namespace

int restorePointFilesCommand(CommandContext& context) {
    PointSelection selection = parsePointSelection(
        context.arguments, {"target", "device", "chunk", "keepalives", "from-agent"});
    if (selection.paths.empty())
        throw UsageError("name the PATHs of the point to restore");
    FileRestoreHeader header;
    FileRestoreOptions options;
    for (const auto& [key, value] : selection.options) {
        if (key == "target")
            header.targetPath = value;
        else if (key == "device")
            header.deviceID = value;
        else if (key == "chunk")
            options.chunkBytes = static_cast<std::uint32_t>(wholeNumber(key, value));
        else if (key == "keepalives")
            options.keepAlivesBeforeData = static_cast<std::uint32_t>(wholeNumber(key, value));
    }
    if (!header.targetPath.empty() && !header.deviceID.empty())
        throw UsageError("name target=PATH or device=ID, not both");
    if (options.chunkBytes == 0 || options.chunkBytes > (1u << 24))
        throw UsageError("chunk=BYTES: 1 to 16777216");
    header.useVolume = header.targetPath.empty();
    if (header.useVolume && header.deviceID.empty())
        header.deviceID = selection.deviceID;

    // As restore: agent=NAME is the agent restored to (default: the host), and its own
    // point is taken unless from-agent=NAME names another.
    std::string target = targetAgent(selection.agent, context.host);
    auto fromAgent = selection.options.find("from-agent");
    bool explicitSource = fromAgent != selection.options.end();
    selection.agent = explicitSource ? fromAgent->second : target;
    OpenPoint point(selection, "restore-files", context.keySource);
    std::ostream& out = context.messages();
    ScratchFolder scratch;
    PointExtractor extractor(point.files(), out, true);
    for (std::size_t i = 0; i < selection.paths.size(); ++i) {
        try {
            PointEntry entry = point.files().entry(parsePointPath(selection.paths[i]).path);
            if (entry.path == "/")
                throw PointFileError("/: name files or folders, not the whole volume");
            extractor.extractAs(entry, scratch.path() / std::to_string(i));
        } catch (const PointFileError& error) {
            extractor.failed(error.what());
        }
    }
    std::vector<FileSource> sources;
    for (const ExtractReport::Item& item : extractor.report().items)
        sources.push_back(sourceFor(item));
    std::size_t unread = extractor.report().failures.size();
    out << "restoring " << sources.size() << " items of point " << point.record().id << " of "
        << point.record().deviceID << " of the agent " << point.record().agent << " to "
        << (header.useVolume ? "volume " + header.deviceID : header.targetPath)
        << (unread ? " (" + std::to_string(unread) + " could not be read and are left out)" : "")
        << "\n";
    if (sources.empty())
        return kExitFailed;
    auto session = context.openSession();
    checkRestoreTarget(point.catalogue(), target, explicitSource, session->reachedAgent(),
                       selection.store);
    FileRestoreReport report = restoreFiles(*session, header, sources, options);
    session->finish();
    printFileRestoreReport(context, report, extractor.report().failures);
    return report.failed == 0 && unread == 0 && report.agentSummaryMatches ? kExitOk : kExitFailed;
}

}  // namespace backup_server
