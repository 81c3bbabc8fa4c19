// Answers the server's test with PROT_ECHO_REPLY and nothing else.
#pragma once

#include "requests/Request.h"

namespace requests {

class EchoRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};

}  // namespace requests
