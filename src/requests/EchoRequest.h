// Answers the server's test with PROT_ECHO_REPLY and nothing else.
#pragma once

#include "requests/Request.h"

class EchoRequest : public Request {
  public:
    using Request::Request;
    void execute() override;
};
