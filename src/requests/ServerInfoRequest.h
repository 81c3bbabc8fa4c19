// Takes the server's information items (one encrypted message each, item or value strings,
// ended by PROT_SERVER_INFO_END) and drops them; no reply.
#pragma once

#include "requests/Request.h"

namespace requests {

class ServerInfoRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};

}  // namespace requests
