#include "agent/ServerListener.h"

#include <chrono>
#include <thread>

#include "agent/ConnectionThread.h"
#include "winutil/AgentOptions.h"
#include "winutil/Logger.h"
#include "winutil/RunState.h"

namespace agent {
namespace {

constexpr auto kRetryInterval = std::chrono::milliseconds(2000);
constexpr int kAcceptWaitSeconds = 3;

std::shared_ptr<Net::TcpListener> tryOpen(std::uint16_t port) {
    auto listener = std::make_shared<Net::TcpListener>();
    listener->bind(0, port);
    listener->listen(Net::TcpListener::kBacklog);
    return listener;
}

}  // namespace

std::shared_ptr<Net::TcpListener> openServerListener() {
    auto options = winutil::agentOptions();
    for (;;) {
        try {
            auto listener = tryOpen(options->localPort());
            winutil::logInfo() << "Listening for backup servers on port " << listener->localPort();
            return listener;
        } catch (const std::exception&) {
            if (!options->recovery())
                throw;
            winutil::logWarn() << "Failed to start listening socket.  Retrying..";
        }
        std::this_thread::sleep_for(kRetryInterval);
        ZENTRAD_CHECK_RUNNING();
    }
}

void runAcceptLoop(Net::TcpListener& listener, winutil::ThreadGroup& threads) {
    while (winutil::isRunning()) {
        if (!listener.waitReadable(kAcceptWaitSeconds))
            continue;
        std::shared_ptr<Net::TcpSocket> socket = listener.accept();
        threads.createThread([socket]() mutable { serveConnection(std::move(socket)); });
    }
    listener.close();
}

}  // namespace agent
