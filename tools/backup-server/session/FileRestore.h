// The server's side of a file restore: the request header, one key-value record per item,
// its data in chunks, and the agent's answer per item. FileRestoreSession offers each step
// on its own (tests use it to send what a well-behaved server would not); restoreFiles
// drives a whole restore and checks every answer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backup-server/session/AgentSession.h"
#include "util/KeyValueMap.h"

namespace backup_server {

struct FileRestoreHeader {
    bool useVolume = false;
    std::string targetPath;  // restore root on the agent (UTF-8), when useVolume is false
    std::string deviceID;    // "Disk N Partition M", when useVolume is true
};

// One item as its record describes it.
struct FileItem {
    std::string path;  // relative to the restore root, UTF-8, "\" separators
    bool isDirectory = false;
    std::string srcfs = "ntfs";  // "ntfs": times are file times; otherwise Unix seconds
    std::uint64_t createTime = 0;
    std::uint64_t accessTime = 0;
    std::uint64_t modifyTime = 0;
    std::uint16_t mftFlags = 0;
    std::uint32_t attrFlags = 0;
    std::uint64_t fileSize = 0;
};

// The item's record with every field the agent reads.
util::KeyValueMap itemRecord(const FileItem& item);

struct FileResult {
    bool restored = false;
    std::uint64_t counter = 0;
    std::string reason;  // for a failed item
};

class FileRestoreSession {
  public:
    explicit FileRestoreSession(AgentSession& session) : session_(session) {}

    // Sends the request, requires PROT_ACK, then sends PROT_FILE_RESTORE_BEGIN.
    void begin(const FileRestoreHeader& header);
    // PROT_FILE_NEXT, the record and PROT_FILE_COUNTER with the counter.
    void sendItem(const util::KeyValueMap& record, std::uint64_t counter);
    void sendItemRecordBytes(const std::string& record, std::uint64_t counter);
    void sendChunk(std::uint64_t counter, std::string_view bytes);
    void sendCode(net::Code code);
    // Reads PROT_FILE_RESTORED or PROT_FILE_FAILED; anything else throws.
    FileResult readResult();
    // PROT_FILE_LIST_END, then requires PROT_FILE_RESTORE_DONE.
    void finish();

  private:
    AgentSession& session_;
};

// An item and where its data comes from: a local file, or the bytes given.
struct FileSource {
    FileItem item;
    std::filesystem::path localFile;
    std::string data;
};

struct FileRestoreOptions {
    std::uint32_t chunkBytes = 64 * 1024;
    std::uint32_t keepAlivesBeforeData = 0;  // per file, ahead of its first chunk
};

struct FileRestoreReport {
    std::uint64_t restored = 0;
    std::uint64_t failed = 0;
    std::uint64_t bytes = 0;  // data bytes of restored files
    double seconds = 0;
    std::vector<std::string> failures;        // "path: reason"
    std::optional<std::string> agentSummary;  // the agent's closing log line, if it sent one
    bool agentSummaryMatches = false;         // it counts what the answers said
};

// Sends every item with its data (counters from 1), reads and checks each answer (result
// code and counter), and finishes the restore. Throws runtime::AgentException when the agent
// answers out of step; a failed item is not an error here.
FileRestoreReport restoreFiles(AgentSession& session, const FileRestoreHeader& header,
                               const std::vector<FileSource>& sources,
                               const FileRestoreOptions& options = {});

// The directories and regular files below folder, each directory before its contents,
// names sorted; times as NTFS file times from the local file system. Symbolic links and
// other special files are left out.
std::vector<FileSource> collectFolder(const std::filesystem::path& folder);

// Items from a list file: one local path per line, optionally followed by a tab and the
// item path to restore it as (default: its file name). A folder brings its contents along.
std::vector<FileSource> readFileList(const std::filesystem::path& listFile);

// Times as Unix seconds ("ext3") instead of file times.
void useUnixTimes(std::vector<FileSource>& sources);

}  // namespace backup_server
