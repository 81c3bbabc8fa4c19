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

RequestTable buildRequestTable() {
    return RequestTable{
        {Net::PROT_REQ_SERVER_INFO, runRequest<ServerInfoRequest>},
        {Net::PROT_REQ_AUTH_SERVER_LIST, runRequest<AuthServerListRequest>},
        {Net::PROT_REQ_ECHO, runRequest<EchoRequest>},
        {Net::PROT_REQ_KEYS_GET, runRequest<KeysGetRequest>},
        {Net::PROT_REQ_BACKUP, runRequest<BackupRequest>},
        {Net::PROT_REQ_FILE_RESTORE, runRequest<FileRestoreRequest>},
        {Net::PROT_REQ_PARTITION_BACKUP, runRequest<PartitionBackupRequest>},
        {Net::PROT_REQ_PARTITION_RESTORE, runRequest<PartitionRestoreRequest>},
        {Net::PROT_REQ_PARTITION_LIST, runRequest<PartitionListRequest>},
        {Net::PROT_REQ_RESTORE, runRequest<RestoreRequest>},
    };
}
