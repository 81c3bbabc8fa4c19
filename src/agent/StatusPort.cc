#include "agent/StatusPort.h"

#include <chrono>

#include "logging/Logger.h"
#include "net/Message.h"
#include "net/TcpListener.h"
#include "platform/Socket.h"
#include "requests/RunningBackups.h"
#include "runtime/RunState.h"
#include "runtime/ThreadGroup.h"

namespace agent {
namespace {

constexpr int kAcceptWaitSeconds = 3;
constexpr auto kRecordInterval = std::chrono::seconds(1);

void acceptStatusClients(net::TcpListener& listener, runtime::ThreadGroup& clients,
                         requests::RunningBackups& backups, std::int32_t timeoutSeconds) {
    while (runtime::isRunning()) {
        if (!listener.waitReadable(kAcceptWaitSeconds))
            continue;
        std::shared_ptr<net::TcpSocket> socket = listener.accept(timeoutSeconds);
        clients.createThread(
            [socket, &backups]() mutable { serveStatusClient(std::move(socket), backups); });
    }
}

}  // namespace

void runStatusPort(requests::RunningBackups& backups, std::int32_t timeoutSeconds) {
    try {
        runtime::ThreadGroup clients;
        net::TcpListener listener;
        listener.bind(platform::inetAddr("127.0.0.1"), platform::statusPort(kStatusPort));
        listener.listen(net::TcpListener::kBacklog);
        acceptStatusClients(listener, clients, backups, timeoutSeconds);
        listener.close();
        clients.joinAll();
    } catch (const std::exception& error) {
        logging::logError() << error.what();
    }
}

void serveStatusClient(std::shared_ptr<net::TcpSocket> socket, requests::RunningBackups& backups) {
    try {
        bool running = backups.count() > 0;
        while (runtime::isRunning()) {
            net::ShortMessage record(socket.get());
            record.writeCode(net::PROT_STATUS).write32(running ? 1 : 0);
            record.flush();
            running = backups.waitForChange(kRecordInterval);
        }
    } catch (const std::exception&) {
        // The local client has gone; only this thread ends.
    }
    socket->close();
}

}  // namespace agent
