#include "agent/ConnectionThread.h"

#include <optional>

#include "agent/Agent.h"
#include "logging/Logger.h"
#include "net/AllowDirectories.h"
#include "net/PreAuthLog.h"
#include "platform/Com.h"
#include "requests/Request.h"

namespace agent {
namespace {

// The connection thread's network logger, released when the connection ends.
class NetLoggerScope {
  public:
    NetLoggerScope() {
        logging::Logger::get().setNetLogger(std::make_shared<logging::NetLogger>());
    }
    ~NetLoggerScope() { logging::Logger::get().setNetLogger(nullptr); }
    NetLoggerScope(const NetLoggerScope&) = delete;
    NetLoggerScope& operator=(const NetLoggerScope&) = delete;
};

bool addressCheckRequired(const net::AdmissionSettings& settings) {
    return settings.ipAuthentication && !settings.recovery;
}

int admitAndServe(net::ServerConnection& connection, const requests::RequestContext& context,
                  bool& authenticated) {
    if (addressCheckRequired(connection.settings()) && !checkServerAddress(connection)) {
        net::logBeforeAuthentication(logging::kLogWarn, "Rejecting backup server (" +
                                                            connection.socket()->getPeerAddress() +
                                                            ") since it is not in our allow list");
        connection.sendCode(net::PROT_REJECTED).flush();
        return 1;
    }
    if (!connection.authenticate())
        return 1;
    authenticated = true;
    logging::logInfo() << bannerText();
    requests::Request::handleRequests(connection, context);
    return 0;
}

// The failure report; the ERROR line queued just before travels ahead of it (in version 2
// sealed, as everything else after the handshake).
void reportError(net::TcpSocket& socket, std::optional<net::ServerConnection>& connection) {
    net::ShortMessage report =
        connection ? connection->sendCode(net::PROT_ERROR) : net::ShortMessage(&socket);
    if (!connection)
        report.writeCode(net::PROT_ERROR);
    try {
        report.flush();
    } catch (const std::exception&) {
        // The server may already be gone.
    }
}

}  // namespace

bool checkServerAddress(net::ServerConnection& connection) {
    const net::AdmissionSettings& settings = connection.settings();
    crypto::RsaKeyPtr key = net::findAllowedKeyByAddress(
        connection.socket()->getPeerAddress(), settings.serverAllowDir, settings.backupAllowDir);
    if (!key)
        return false;
    connection.setServerPublicKey(std::move(key));
    return true;
}

int serveConnection(std::shared_ptr<net::TcpSocket> socket, const net::AdmissionSettings& admission,
                    const requests::RequestContext& context) {
    int result = 0;
    {
        platform::ComInitialization com;
        NetLoggerScope netLogger;
        bool authenticated = false;
        std::optional<net::ServerConnection> connection;
        try {
            connection.emplace(socket.get(), admission);
            result = admitAndServe(*connection, context, authenticated);
        } catch (const std::exception& error) {
            std::string text = std::string("Closing connection: ") + error.what();
            if (authenticated)
                logging::logError() << text;
            else
                net::logBeforeAuthentication(logging::kLogError, text);
            reportError(*socket, connection);
        }
    }
    socket->close();
    return result;
}

}  // namespace agent
