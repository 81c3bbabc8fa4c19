#include "requests/EchoRequest.h"

#include "logging/Logger.h"

namespace requests {

void EchoRequest::execute() {
    logging::logInfo() << "Test received, sending reply";
    message().clear();
    message().write32(net::PROT_ECHO_REPLY);
    message().send();
}

}  // namespace requests
