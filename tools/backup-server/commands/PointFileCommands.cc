// ls, cat and extract: files of a restore point, read straight from its chunks.
//   ls STORE DEVICE-ID [point=N] [PATH] [-l] [-R] [--json]
//   cat STORE DEVICE-ID [point=N] PATH[:STREAM]
//   extract STORE DEVICE-ID [point=N] PATH... DEST
#include <chrono>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JsonText.h"
#include "backup-server/pointfiles/PointExtract.h"
#include "backup-server/commands/PointSelection.h"
#include "backup-server/commands/StoreArguments.h"

namespace backup_server {
namespace {

std::string kindOf(const PointEntry& entry) {
    if (entry.reparse && entry.reparse->kind != "reparse")
        return entry.reparse->kind;
    return entry.directory ? "folder" : "file";
}

std::string isoTime(std::uint64_t fileTime) {
    std::string text = fileTimeText(fileTime);
    text[10] = 'T';
    return text + "Z";
}

std::string entryJson(const PointEntry& entry) {
    JsonText json;
    json.beginObject().key("name").value(entry.name).key("path").value(entry.path);
    if (!entry.problem.empty()) {
        json.key("error").value(entry.problem).endObject();
        return json.text();
    }
    json.key("type").value(kindOf(entry)).key("size").value(entry.size);
    json.key("attributes").value(std::uint64_t{entry.attributes});
    json.key("attribute_letters").value(attributeLetters(entry.attributes));
    json.key("created")
        .value(isoTime(entry.created))
        .key("modified")
        .value(isoTime(entry.modified));
    json.key("changed")
        .value(isoTime(entry.changed))
        .key("accessed")
        .value(isoTime(entry.accessed));
    json.key("links").value(std::uint64_t{entry.links}).key("file_number").value(entry.fileNumber);
    if (entry.reparse) {
        json.key("reparse_tag").value(std::uint64_t{entry.reparse->tag});
        json.key("target").value(entry.reparse->target);
    }
    json.key("streams").beginArray();
    for (const PointStream& stream : entry.streams)
        json.beginObject()
            .key("name")
            .value(stream.name)
            .key("size")
            .value(stream.size)
            .endObject();
    json.endArray().endObject();
    return json.text();
}

// Prints entries as they are found: a folder's listing is held, never the whole tree.
class Lister {
  public:
    Lister(PointFiles& files, const CommandContext& context)
        : files_(files),
          out_(*context.out),
          json_(context.json),
          long_(context.longListing),
          recursive_(context.recursive) {}

    int run(const PointEntry& entry) {
        if (json_)
            out_ << "[";
        if (entry.directory && !entry.isLink())
            listFolder(entry, 0);
        else
            print(entry);
        if (json_)
            out_ << "]\n";
        return problems_ == 0 ? kExitOk : kExitFailed;
    }

  private:
    void listFolder(const PointEntry& folder, int depth) {
        std::vector<PointEntry> entries;
        try {
            entries = files_.list(folder);
        } catch (const PointFileError& error) {
            ++problems_;
            std::cerr << "backup-server: " << error.what() << "\n";
            return;
        }
        for (const PointEntry& entry : entries)
            print(entry);
        if (!recursive_)
            return;
        for (const PointEntry& entry : entries) {
            // A folder reached twice can only come from a damaged volume; never loop.
            if (entry.directory && entry.problem.empty() && !entry.isLink() && depth < 4096 &&
                visited_.insert(entry.fileNumber).second) {
                listFolder(entry, depth + 1);
            }
        }
    }

    void print(const PointEntry& entry) {
        if (!entry.problem.empty())
            ++problems_;
        if (json_) {
            out_ << (first_ ? "" : ",\n") << entryJson(entry);
            first_ = false;
            return;
        }
        std::string name = recursive_ ? entry.path : entry.name;
        if (!entry.problem.empty()) {
            out_ << "?  " << name << ": " << entry.problem << "\n";
            return;
        }
        std::string suffix = entry.directory && !entry.isLink() ? "/" : "";
        if (entry.reparse)
            suffix += " -> " + (entry.isLink() ? entry.reparse->target : "(reparse point)");
        if (!long_) {
            out_ << name << suffix << "\n";
            return;
        }
        out_ << attributeLetters(entry.attributes) << " " << std::setw(14) << entry.size << "  "
             << fileTimeText(entry.modified) << "  " << name << suffix << "\n";
        for (const PointStream& stream : entry.streams)
            out_ << std::string(10, ' ') << std::setw(14) << stream.size << "  "
                 << std::string(19, ' ') << "  " << name << ":" << stream.name << "\n";
    }

    PointFiles& files_;
    std::ostream& out_;
    bool json_, long_, recursive_;
    bool first_ = true;
    std::uint64_t problems_ = 0;
    std::set<std::uint64_t> visited_;
};

PointEntry lookUp(PointFiles& files, const std::string& text, std::string* stream) {
    PointPath path;
    try {
        path = parsePointPath(text);
    } catch (const PointFileError& error) {
        throw UsageError(error.what());
    }
    if (stream != nullptr)
        *stream = path.stream;
    else if (!path.stream.empty())
        throw UsageError(text + ": name a file or folder, not a stream");
    return files.entry(path.path);
}

std::string describeReads(const PointVolume& volume, double seconds) {
    PointReadCounters counters = volume.counters();
    std::ostringstream text;
    text << "read " << counters.chunksRead << " chunks (" << counters.chunkBytes << " bytes) in "
         << std::fixed << std::setprecision(2) << seconds << " s";
    return text.str();
}

// Prints what the point's reads cost on standard error when --stats asks for it.
class ReadStats {
  public:
    explicit ReadStats(const CommandContext& context)
        : show_(context.stats), started_(std::chrono::steady_clock::now()) {}
    void print(const PointVolume& volume) const {
        if (show_)
            std::cerr << describeReads(volume, seconds()) << "\n";
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

  private:
    bool show_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace

int lsCommand(CommandContext& context) {
    PointSelection selection = parsePointSelection(context.arguments, {});
    if (selection.paths.size() > 1)
        throw UsageError("ls lists one PATH");
    ReadStats stats(context);
    OpenPoint point(selection, "ls", context.keySource);
    int status = kExitFailed;
    try {
        PointEntry entry =
            lookUp(point.files(), selection.paths.empty() ? "/" : selection.paths[0], nullptr);
        status = Lister(point.files(), context).run(entry);
    } catch (const PointFileError& error) {
        std::cerr << "backup-server: " << error.what() << "\n";
    }
    stats.print(point.volume());
    return status;
}

int catCommand(CommandContext& context) {
    if (context.json)
        throw UsageError("cat writes the file's bytes; --json has nothing to add there");
    PointSelection selection = parsePointSelection(context.arguments, {});
    if (selection.paths.size() != 1)
        throw UsageError("cat takes one PATH[:STREAM]");
    ReadStats stats(context);
    OpenPoint point(selection, "cat", context.keySource);
    int status = kExitFailed;
    try {
        std::string stream;
        PointEntry entry = lookUp(point.files(), selection.paths[0], &stream);
        std::ostream& out = *context.out;
        point.files().read(entry, stream, [&out](const char* data, std::size_t size) {
            out.write(data, static_cast<std::streamsize>(size));
        });
        out.flush();
        status = out ? kExitOk : kExitFailed;
    } catch (const PointFileError& error) {
        context.out->flush();
        std::cerr << "backup-server: " << error.what() << "\n";
    }
    stats.print(point.volume());
    return status;
}

int extractCommand(CommandContext& context) {
    PointSelection selection = parsePointSelection(context.arguments, {});
    if (selection.paths.size() < 2)
        throw UsageError("extract takes PATH... and a DEST folder");
    std::filesystem::path destination = selection.paths.back();
    selection.paths.pop_back();
    ReadStats stats(context);
    OpenPoint point(selection, "extract", context.keySource);
    std::filesystem::create_directories(destination);
    std::ostream& out = context.messages();
    out << "extracting from point " << point.record().id << " of " << point.record().deviceID
        << " (" << utcTime(point.record().created) << " UTC) into " << destination.string() << "\n";
    PointExtractor extractor(point.files(), out);
    for (const std::string& path : selection.paths) {
        try {
            extractor.extract(lookUp(point.files(), path, nullptr), destination);
        } catch (const PointFileError& error) {
            extractor.failed(error.what());
        }
    }
    const ExtractReport& report = extractor.report();
    if (context.json) {
        JsonText json;
        json.beginObject().key("point").value(point.record().id);
        json.key("device")
            .value(point.record().deviceID)
            .key("destination")
            .value(destination.string());
        json.key("files").value(report.files).key("folders").value(report.folders);
        json.key("streams").value(report.streams).key("bytes").value(report.bytes);
        json.key("links_skipped").value(report.skipped).key("failures").beginArray();
        for (const std::string& failure : report.failures)
            json.value(failure);
        *context.out << json.endArray().endObject().text() << "\n";
        return report.failures.empty() ? kExitOk : kExitFailed;
    }
    out << "extracted " << report.files << " files, " << report.folders << " folders, "
        << report.streams << " streams (" << report.bytes << " bytes); " << report.skipped
        << " links skipped, " << report.failures.size() << " failed; "
        << describeReads(point.volume(), stats.seconds()) << "\n";
    return report.failures.empty() ? kExitOk : kExitFailed;
}

}  // namespace backup_server
