#include "requests/ServerInfoRequest.h"

#include "runtime/Exceptions.h"

namespace requests {

void ServerInfoRequest::execute() {
    for (;;) {
        message().receiveExpected();
        net::Code item = message().read32();
        switch (item) {
            case net::PROT_SERVER_INFO_END:
                return;
            case net::PROT_SERVER_INFO_ITEM:
            case net::PROT_SERVER_INFO_VALUE:
                message().readString();
                break;
            default:
                ZENTRAD_THROW(runtime::AgentException,
                              "Uknown server info code (0x" + net::hexCode(item) + ")");
        }
    }
}

}  // namespace requests
