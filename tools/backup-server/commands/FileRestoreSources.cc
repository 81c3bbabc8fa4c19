// Where the items of a file restore come from: a local folder or a list of local paths.
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "backup-server/session/FileRestore.h"
#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

std::uint64_t fileTime(const timespec& time) {
    return kUnixEpochAsFileTime + static_cast<std::uint64_t>(time.tv_sec) * 10000000ull +
           static_cast<std::uint64_t>(time.tv_nsec) / 100;
}

// The item path for a relative local path: its components joined with "\".
std::string itemPath(const std::filesystem::path& relative) {
    std::string path;
    for (const auto& component : relative) {
        if (!path.empty())
            path += '\\';
        path += component.string();
    }
    return path;
}

// The item for one local directory or regular file; nullopt for anything else.
std::optional<FileSource> sourceFor(const std::filesystem::path& local, const std::string& path) {
    struct stat status {};
    if (::lstat(local.c_str(), &status) != 0) {
        ZENTRAD_THROW(runtime::AgentException, "Cannot read " + local.string());
    }
    if (!S_ISDIR(status.st_mode) && !S_ISREG(status.st_mode))
        return std::nullopt;
    FileSource source;
    source.item.path = path;
    source.item.isDirectory = S_ISDIR(status.st_mode);
    source.item.fileSize = source.item.isDirectory ? 0 : static_cast<std::uint64_t>(status.st_size);
    source.item.accessTime = fileTime(status.st_atim);
    source.item.modifyTime = fileTime(status.st_mtim);
    source.item.createTime = fileTime(status.st_mtim);  // Linux keeps no portable birth time
    source.item.attrFlags = source.item.isDirectory ? 0x10 : 0x20;
    if (!source.item.isDirectory)
        source.localFile = local;
    return source;
}

// The contents of folder as items below prefix, each directory before what it holds.
void addFolder(const std::filesystem::path& folder, const std::string& prefix,
               std::vector<FileSource>& sources) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        std::string path = (prefix.empty() ? "" : prefix + "\\") + itemPath(entry.filename());
        auto source = sourceFor(entry, path);
        if (!source)
            continue;
        bool directory = source->item.isDirectory;
        sources.push_back(std::move(*source));
        if (directory)
            addFolder(entry, path, sources);
    }
}

}  // namespace

std::vector<FileSource> collectFolder(const std::filesystem::path& folder) {
    std::vector<FileSource> sources;
    addFolder(folder, "", sources);
    return sources;
}

std::vector<FileSource> readFileList(const std::filesystem::path& listFile) {
    std::ifstream in(listFile);
    if (!in)
        ZENTRAD_THROW(runtime::AgentException, "Cannot open list " + listFile.string());
    std::vector<FileSource> sources;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        auto tab = line.find('\t');
        std::filesystem::path local = line.substr(0, tab);
        std::string path =
            tab == std::string::npos ? local.filename().string() : line.substr(tab + 1);
        auto source = sourceFor(local, path);
        if (!source)
            continue;
        bool directory = source->item.isDirectory;
        sources.push_back(std::move(*source));
        if (directory)
            addFolder(local, path, sources);
    }
    return sources;
}

void useUnixTimes(std::vector<FileSource>& sources) {
    for (auto& source : sources) {
        FileItem& item = source.item;
        item.srcfs = "ext3";
        for (std::uint64_t* time : {&item.accessTime, &item.modifyTime, &item.createTime})
            *time = *time >= kUnixEpochAsFileTime ? (*time - kUnixEpochAsFileTime) / 10000000 : 0;
    }
}

}  // namespace backup_server
