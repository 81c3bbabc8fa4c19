#include "agent/ServerListener.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "agent/ConnectionLimit.h"
#include "agent/ConnectionThread.h"
#include "logging/Logger.h"
#include "net/PreAuthLog.h"
#include "net/SocketException.h"
#include "runtime/RunState.h"

namespace agent {
namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(2000);
constexpr int kAcceptWaitSeconds = 3;
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(100);
// Each connection has a thread; beyond this many the agent refuses new ones rather than let
// a flood of connections exhaust threads and descriptors. Servers that authenticate hold a
// connection for minutes at most; connections that do not are cut off by the handshake
// deadline.
constexpr std::size_t kMaxConnections = 100;

std::shared_ptr<net::TcpListener> tryOpen(std::uint16_t port) {
    auto listener = std::make_shared<net::TcpListener>();
    listener->bind(0, port);
    listener->listen(net::TcpListener::kBacklog);
    return listener;
}

}  // namespace

std::shared_ptr<net::TcpListener> openServerListener(std::uint16_t port, bool recovery) {
    for (;;) {
        try {
            auto listener = tryOpen(port);
            logging::logInfo() << "Listening for backup servers on port " << listener->localPort();
            return listener;
        } catch (const std::exception&) {
            if (!recovery)
                throw;
            logging::logWarn() << "Failed to start listening socket.  Retrying..";
        }
        std::this_thread::sleep_for(kRetryInterval);
        ZENTRAD_CHECK_RUNNING();
    }
}

void runAcceptLoop(net::TcpListener& listener, runtime::ThreadGroup& threads,
                   const net::AdmissionSettings& admission,
                   const requests::RequestContext& context) {
    auto limit = std::make_shared<ConnectionLimit>(kMaxConnections);
    while (runtime::isRunning()) {
        net::PreAuthLog::instance().flushIfDue();
        if (!listener.waitReadable(kAcceptWaitSeconds))
            continue;
        std::shared_ptr<net::TcpSocket> socket;
        try {
            socket = listener.accept(admission.timeoutSeconds);
        } catch (const net::SocketException& error) {
            // Out of descriptors, or the peer left before it was accepted: the listener
            // itself is fine, so keep serving after a pause.
            net::logBeforeAuthentication(logging::kLogWarn, error.what());
            std::this_thread::sleep_for(kAcceptFailurePause);
            continue;
        }
        std::shared_ptr<ConnectionLimit::Slot> slot = limit->take();
        if (!slot) {
            socket->close();
            continue;
        }
        try {
            // The thread keeps its own copies: it may outlive this loop.
            threads.createThread([socket, slot, admission, context]() mutable {
                serveConnection(std::move(socket), admission, context);
            });
        } catch (const std::system_error& error) {
            logging::logWarn() << "Cannot start a thread for a new connection: " << error.what();
            socket->close();
        }
    }
    listener.close();
}

}  // namespace agent
