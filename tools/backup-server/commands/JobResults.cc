#include "backup-server/commands/JobResults.h"
#include "backup-server/store/StoreLocation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace backup_server {
namespace {

constexpr std::uintmax_t kCompactAbove = 1 << 20;

std::string field(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

std::string line(const JobResult& result) {
    return std::to_string(result.time) + "\t" + field(result.agent) + "\t" +
           field(result.deviceID) + "\t" + (result.ok ? "ok" : "failed") + "\t" +
           std::to_string(result.point) + "\t" + field(result.reason) + "\n";
}

std::optional<JobResult> parseLine(const std::string& text) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '\t');)
        fields.push_back(part);
    if (fields.size() == 5)
        fields.emplace_back();
    if (fields.size() != 6 || (fields[3] != "ok" && fields[3] != "failed"))
        return std::nullopt;
    try {
        return JobResult{std::stoll(fields[0]), fields[1], fields[2], fields[3] == "ok",
                         std::stoll(fields[4]), fields[5]};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void appendLine(const std::filesystem::path& file, const std::string& text, int flags) {
    int handle = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
    if (handle < 0)
        throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(errno));
    ssize_t written = ::write(handle, text.data(), text.size());
    int error = errno;
    ::close(handle);
    if (written != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write " + file.string() + ": " + std::strerror(error));
}

void compact(const std::filesystem::path& store) {
    std::filesystem::path file = jobResultsFile(store);
    std::string kept;
    for (const auto& [key, results] : readJobResults(store)) {
        if (results.lastGood)
            kept += line(*results.lastGood);
        if (results.lastFailure)
            kept += line(*results.lastFailure);
    }
    std::filesystem::path temporary = file;
    temporary += ".new";
    appendLine(temporary, kept, O_TRUNC);
    std::filesystem::rename(temporary, file);
}

}  // namespace

std::filesystem::path jobResultsFile(const std::filesystem::path& store) {
    // A local file: beside the catalogue (an s3:// store's cache folder).
    return localFolderOf(store.string()) / "job-results";
}

void recordJobResult(const std::filesystem::path& store, const JobResult& result) {
    std::filesystem::path file = jobResultsFile(store);
    appendLine(file, line(result), O_APPEND);
    std::error_code error;
    if (std::filesystem::file_size(file, error) > kCompactAbove && !error)
        compact(store);
}

ResultsByVolume readJobResults(const std::filesystem::path& store) {
    ResultsByVolume results;
    std::ifstream in(jobResultsFile(store));
    for (std::string text; std::getline(in, text);) {
        std::optional<JobResult> result = parseLine(text);
        if (!result)
            continue;
        VolumeResults& volume = results[{result->agent, result->deviceID}];
        std::optional<JobResult>& slot = result->ok ? volume.lastGood : volume.lastFailure;
        if (!slot || slot->time <= result->time)
            slot = *result;
    }
    return results;
}

}  // namespace backup_server
