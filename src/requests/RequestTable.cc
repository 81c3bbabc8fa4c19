#include "requests/RequestTable.h"

#include "requests/AuthServerListRequest.h"
#include "requests/BackupRequest.h"
#include "requests/EchoRequest.h"
#include "requests/FileRestoreRequest.h"
#include "requests/KeysGetRequest.h"
#include "requests/PartitionBackupRequest.h"
#include "requests/PartitionListRequest.h"
#include "requests/PartitionRestoreRequest.h"
#include "requests/RestoreRequest.h"
#include "requests/ServerInfoRequest.h"

namespace requests {

RequestTable buildRequestTable() {
    return RequestTable{
        {net::PROT_REQ_SERVER_INFO, runRequest<ServerInfoRequest>},
        {net::PROT_REQ_AUTH_SERVER_LIST, runRequest<AuthServerListRequest>},
        {net::PROT_REQ_ECHO, runRequest<EchoRequest>},
        {net::PROT_REQ_KEYS_GET, runRequest<KeysGetRequest>},
        {net::PROT_REQ_BACKUP, runRequest<BackupRequest>},
        {net::PROT_REQ_FILE_RESTORE, runRequest<FileRestoreRequest>},
        {net::PROT_REQ_PARTITION_BACKUP, runRequest<PartitionBackupRequest>},
        {net::PROT_REQ_PARTITION_RESTORE, runRequest<PartitionRestoreRequest>},
        {net::PROT_REQ_PARTITION_LIST, runRequest<PartitionListRequest>},
        {net::PROT_REQ_RESTORE, runRequest<RestoreRequest>},
    };
}

const char* requestName(net::Code code) {
    static const std::map<net::Code, const char*> names = {
        {net::PROT_REQ_SERVER_INFO, "server information"},
        {net::PROT_REQ_AUTH_SERVER_LIST, "allow list"},
        {net::PROT_REQ_ECHO, "echo"},
        {net::PROT_REQ_KEYS_GET, "keys"},
        {net::PROT_REQ_BACKUP, "backup"},
        {net::PROT_REQ_FILE_RESTORE, "file restore"},
        {net::PROT_REQ_PARTITION_BACKUP, "partition-table backup"},
        {net::PROT_REQ_PARTITION_RESTORE, "partition-table restore"},
        {net::PROT_REQ_PARTITION_LIST, "partition list"},
        {net::PROT_REQ_RESTORE, "restore"},
    };
    auto name = names.find(code);
    return name == names.end() ? "unknown" : name->second;
}

}  // namespace requests
