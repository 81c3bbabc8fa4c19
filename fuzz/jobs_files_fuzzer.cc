// fuzz-libs: backup_server
// The files of a fleet run as an operator's typing or a damaged disk might leave them: a
// jobs file (TOML, checked key by key) and a store's job-results file. Whatever the bytes,
// reading must end in a result or a UsageError, never in a crash or a read out of bounds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "backup-server/commands/Command.h"
#include "backup-server/commands/JobResults.h"
#include "backup-server/commands/JobsFile.h"

namespace {

struct Setup {
    Setup() {
        folder =
            std::filesystem::temp_directory_path() / ("jobs-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
    }
    ~Setup() { std::filesystem::remove_all(folder); }
    std::filesystem::path folder;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size < 1)
        return 0;
    // The first byte chooses the file; the rest is its content.
    bool jobs = data[0] % 2 == 0;
    std::filesystem::path file =
        jobs ? setup.folder / "jobs.toml" : backup_server::jobResultsFile(setup.folder);
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data) + 1, static_cast<std::streamsize>(size - 1));
    if (jobs) {
        try {
            backup_server::readJobsFile(file);
        } catch (const backup_server::UsageError&) {
        }
    } else {
        backup_server::readJobResults(setup.folder);
    }
    return 0;
}
