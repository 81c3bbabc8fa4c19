// Errors of file restore. A failure of one item is any exception; these help tell the
// failures that end only the item from those after which the connection is unusable.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Exceptions.h"

namespace requests {

// The server reported PROT_ERROR in the middle of the exchange: nothing more can be read or
// sent, so the request ends instead of the item.
class FileRestoreStreamError : public runtime::AgentException {
  public:
    using runtime::AgentException::AgentException;
};

// The system's text for an error number, without its line end; "error N" when the system has
// no text.
std::string systemErrorText(std::uint32_t error);

}  // namespace requests
