#include "requests/PartitionListRequest.h"

#include "requests/PartitionListEntry.h"

namespace requests {

void PartitionListRequest::execute() {
    std::uint32_t version = connection().serverVersion();
    auto entries = collectPartitionList(version);
    writePartitionList(message(), entries, version);
    message().send();
}

}  // namespace requests
