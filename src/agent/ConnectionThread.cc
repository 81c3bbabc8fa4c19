#include "agent/ConnectionThread.h"

#include "agent/Agent.h"
#include "logging/Logger.h"
#include "net/AllowDirectories.h"
#include "net/PreAuthLog.h"
#include "platform/Com.h"
#include "requests/Request.h"
#include "winutil/AgentOptions.h"

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

bool addressCheckRequired() {
    auto options = winutil::agentOptions();
    return options->ipAuthentication() && !options->recovery();
}

int admitAndServe(net::ServerSocket& connection, bool& authenticated) {
    if (addressCheckRequired() && !checkServerAddress(connection)) {
        net::logBeforeAuthentication(logging::kLogWarn, "Rejecting backup server (" +
                                                            connection.socket()->getPeerAddress() +
                                                            ") since it is not in our allow list");
        connection.sendCode(net::PROT_REJECTED).flush();
        return 1;
    }
    if (connection.authenticate() != 0)
        return 1;
    authenticated = true;
    logging::logInfo() << bannerText();
    Request::handleRequests(connection);
    return 0;
}

// The failure report; the ERROR line queued just before travels ahead of it.
void reportError(net::TcpSocket& socket) {
    net::ShortMessage report(&socket);
    report.writeCode(net::PROT_ERROR);
    try {
        report.flush();
    } catch (const std::exception&) {
        // The server may already be gone.
    }
}

}  // namespace

bool checkServerAddress(net::ServerSocket& connection) {
    crypto::RsaKeyPtr key = net::findAllowedKeyByAddress(connection.socket()->getPeerAddress());
    if (!key)
        return false;
    connection.setServerPublicKey(std::move(key));
    return true;
}

int serveConnection(std::shared_ptr<net::TcpSocket> socket) {
    int result = 0;
    {
        platform::ComInitialization com;
        NetLoggerScope netLogger;
        bool authenticated = false;
        try {
            net::ServerSocket connection(socket.get());
            result = admitAndServe(connection, authenticated);
        } catch (const std::exception& error) {
            std::string text = std::string("Closing connection: ") + error.what();
            if (authenticated)
                logging::logError() << text;
            else
                net::logBeforeAuthentication(logging::kLogError, text);
            reportError(*socket);
        }
    }
    socket->close();
    return result;
}

}  // namespace agent
