#include "backup-server/store/FileModes.h"

#include <sys/stat.h>

#include <cstdio>
#include <iostream>

#include "backup-server/store/StoreError.h"

namespace backup_server {

void createPrivateFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    // chmod, not mkdir's mode: the umask narrows that, and an existing folder keeps its own.
    if (error || ::chmod(folder.c_str(), 0700) != 0) {
        ZENTRAD_THROW(StoreError, "Cannot make the folder " + folder.string() + " (mode 0700)" +
                                      (error ? ": " + error.message() : ""));
    }
}

void warnIfOpenToOthers(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || (status.st_mode & 077) == 0)
        return;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    std::cerr << "backup-server: warning: " << path.string() << " has mode " << mode
              << ", open to other users; chmod " << (S_ISDIR(status.st_mode) ? "700" : "600")
              << " it unless they are meant to read it\n";
}

}  // namespace backup_server
