// fuzz-libs: net crypto util platform
// Arbitrary bytes as the server's side of the handshake, read by the agent's handshake over
// a socket pair whose server side stops sending after the bytes, so every read ends. (A
// socket pair rather than loopback TCP: a connection per input would use up the ports.)
// The first byte chooses the mode (bit 0: recovery, bit 1: IP authentication). The server
// key below is in the allow directory, so inputs that present it reach the challenge.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>

#include <sys/socket.h>

#include "crypto/CryptoLibrary.h"
#include "net/ServerConnection.h"

namespace {

constexpr const char* kAdmittedServerKey =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDU/JrHukqRtHM8TrLNUNr+Xonf\n"
    "vJHLYFm/E/zU/8KXc8jFWafJb+D2u33+g22fZ1JBqRGOlzmCA2PoQJilyDAb/Lax\n"
    "bbHz1d5f2MvMFYnmd7rAsTlHyEnNdVwDkRzRVOaNI4aqGzocSvT+8IfOdBDermPR\n"
    "J1Z4d8A2nZLakeufFQIDAQAB\n"
    "-----END PUBLIC KEY-----\n";

struct Fixture {
    Fixture() {
        crypto::CryptoLibrary::initialise();
        auto dir = std::filesystem::temp_directory_path() / "zentrad-handshake-fuzzer";
        std::filesystem::create_directories(dir / "config" / "server.allow");
        std::ofstream(dir / "config" / "server.allow" / "127.0.0.1") << kAdmittedServerKey;
        settings.timeoutSeconds = 1;
        settings.serverAllowDir = dir / "config" / "server.allow";
        settings.backupAllowDir = dir / "db" / "backup.allow";
        settings.keyFiles = {dir / "config" / "rsa.key", dir / "config" / "rsa_public.key",
                             dir / "config" / "backup.key"};
    }
    net::AdmissionSettings settings;
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The agent's replies stay in the server's receive buffer; a large input would only
    // fill the agent's, so inputs are kept well below either.
    if (size == 0 || size > 16384)
        return 0;
    Fixture& f = fixture();
    net::AdmissionSettings settings = f.settings;
    settings.recovery = (data[0] & 1) != 0;
    settings.ipAuthentication = (data[0] & 2) != 0;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return 0;
    auto server = std::make_unique<net::TcpSocket>(static_cast<platform::SocketHandle>(ends[0]),
                                                   settings.timeoutSeconds);
    auto agent = std::make_unique<net::TcpSocket>(static_cast<platform::SocketHandle>(ends[1]),
                                                  settings.timeoutSeconds);
    server->sendAll(data + 1, static_cast<std::int64_t>(size - 1));
    server->shutdownSend();
    try {
        net::ServerConnection connection(agent.get(), settings);
        connection.authenticate();
    } catch (const std::exception&) {
        // Rejecting the input is the expected outcome; crashing or hanging is not.
    }
    return 0;
}
