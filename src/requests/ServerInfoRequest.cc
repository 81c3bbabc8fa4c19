#include "requests/ServerInfoRequest.h"

#include "runtime/Exceptions.h"

void ServerInfoRequest::execute() {
    for (;;) {
        message().receiveExpected();
        Net::Code item = message().read32();
        switch (item) {
            case Net::PROT_SERVER_INFO_END:
                return;
            case Net::PROT_SERVER_INFO_ITEM:
            case Net::PROT_SERVER_INFO_VALUE:
                message().readString();
                break;
            default:
                ZENTRAD_THROW(runtime::AgentException,
                              "Uknown server info code (0x" + Net::hexCode(item) + ")");
        }
    }
}
