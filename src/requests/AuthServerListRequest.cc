#include "requests/AuthServerListRequest.h"

#include <algorithm>
#include <filesystem>

#include "logging/Logger.h"
#include "net/IpAddressText.h"
#include "runtime/Exceptions.h"
#include "util/FileUtil.h"

namespace requests {

namespace {

namespace fs = std::filesystem;

// Creates the directory unless it exists; throws std::filesystem::filesystem_error.
void ensureDirectory(const fs::path& dir) {
    if (!fs::is_directory(dir))
        fs::create_directory(dir);
}

}  // namespace

void AuthServerListRequest::execute() {
    std::vector<AllowedServer> servers = readList();
    ensureDirectory(context().dbDir);
    ensureDirectory(context().backupAllowDir);
    writeList(servers);
    removeUnlisted(servers);
    connection().sendCode(net::PROT_AUTH_SERVER_LIST_DONE).flush();
}

std::vector<AuthServerListRequest::AllowedServer> AuthServerListRequest::readList() {
    std::uint32_t count = message().read32();
    std::vector<AllowedServer> servers;
    // Each entry takes at least its two length fields, so the message bounds the count.
    servers.reserve(std::min<std::size_t>(count, message().remaining() / 8));
    for (std::uint32_t i = 0; i < count; ++i) {
        AllowedServer server;
        server.address = message().readString();
        server.publicKey = message().readString();
        // The name becomes a file name: anything but a plain address could leave the folder
        // or name a stream.
        if (!isNumericIpAddress(server.address)) {
            ZENTRAD_THROW(runtime::AgentException,
                          "Invalid server allow IP (" + server.address + ")");
        }
        servers.push_back(std::move(server));
    }
    net::ServerConnection::verifyCode(net::PROT_AUTH_SERVER_LIST, message().read32());
    if (!message().atEnd()) {
        ZENTRAD_THROW(runtime::AgentException, "Unexpected data at the end of server list request");
    }
    return servers;
}

void AuthServerListRequest::writeList(const std::vector<AllowedServer>& servers) {
    const fs::path& dir = context().backupAllowDir;
    for (const auto& server : servers) {
        fs::path file = dir / server.address;
        try {
            // Replaced atomically: a connection authenticating meanwhile sees the old key
            // or the new one, never half a file.
            util::files::writeFileAtomically(file, server.publicKey);
        } catch (const std::exception&) {
            logging::logError()
                << "failed to write public key to dynamic backup allow directory file: "
                << file.string();
        }
    }
}

void AuthServerListRequest::removeUnlisted(const std::vector<AllowedServer>& servers) {
    const fs::path& dir = context().backupAllowDir;
    std::vector<fs::path> stale;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        bool listed =
            std::any_of(servers.begin(), servers.end(),
                        [&name](const AllowedServer& server) { return server.address == name; });
        if (!listed)
            stale.push_back(entry.path());
    }
    for (const auto& path : stale)
        fs::remove_all(path);
}

}  // namespace requests
