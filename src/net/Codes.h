// The protocol codes. Every code is an unsigned 32-bit value sent big-endian and starts
// with the bytes E1 E7. Codes marked "encrypted" travel as the first field inside an
// encrypted message; the others lead a unit of the plain stream.
#pragma once

#include <cstdint>

namespace net {

using Code = std::uint32_t;

constexpr Code PROT_ACK = 0xE1E7E5F1;
constexpr Code PROT_ERROR = 0xE1E7E5F3;
constexpr Code PROT_FINISHED = 0xE1E7E5F4;
constexpr Code PROT_ENCRYPTED = 0xE1E7E5F5;
constexpr Code PROT_BUSY = 0xE1E7E5F6;
constexpr Code PROT_KEEPALIVE = 0xE1E7E5F9;
// Protocol version 2 only: a sealed piece of the plain stream (see net/SealedUnits.h).
constexpr Code PROT_SEALED = 0xE1E7E5FA;
constexpr Code PROT_AUTH_CHALLENGE = 0xE1E7E5FE;
constexpr Code PROT_AUTH_RESPONSE = 0xE1E7E5FF;
constexpr Code PROT_AUTH_FAILED = 0xE1E7E600;
constexpr Code PROT_AUTH_OK = 0xE1E7E601;
constexpr Code PROT_PUBLIC_KEY = 0xE1E7E602;
constexpr Code PROT_REJECTED = 0xE1E7E603;
constexpr Code PROT_RECOVERY_MODE = 0xE1E7E604;
constexpr Code PROT_HOST_INITIALIZED = 0xE1E7E605;
constexpr Code PROT_AUTH_START = 0xE1E7E606;
constexpr Code PROT_VERSION = 0xE1E7E607;
constexpr Code PROT_REQ_SERVER_INFO = 0xE1E7E608;
constexpr Code PROT_SERVER_INFO_END = 0xE1E7E609;
constexpr Code PROT_SERVER_INFO_ITEM = 0xE1E7E60A;
constexpr Code PROT_SERVER_INFO_VALUE = 0xE1E7E60B;
constexpr Code PROT_REQ_AUTH_SERVER_LIST = 0xE1E7E60D;
constexpr Code PROT_AUTH_SERVER_LIST = 0xE1E7E60E;
constexpr Code PROT_AUTH_SERVER_LIST_DONE = 0xE1E7E60F;
constexpr Code PROT_SERVER_OPTION = 0xE1E7E610;
constexpr Code PROT_GET_PUBLIC_KEY = 0xE1E7E611;
constexpr Code PROT_REQ_ECHO = 0xE1E7E63E;
constexpr Code PROT_ECHO_REPLY = 0xE1E7E63F;
constexpr Code PROT_REQ_KEYS_GET = 0xE1E7E6F0;
constexpr Code PROT_KEYS = 0xE1E7E6F1;
constexpr Code PROT_REQ_RESTORE = 0xE1E7E77E;
constexpr Code PROT_RESTORE_END = 0xE1E7E77F;
constexpr Code PROT_RESTORE_READY = 0xE1E7E781;
constexpr Code PROT_RESTORE_DONE = 0xE1E7E78F;
constexpr Code PROT_REQ_BACKUP = 0xE1E7E8EE;
constexpr Code PROT_BACKUP_VOLUME_INFO = 0xE1E7E8EF;
constexpr Code PROT_NEW_JOURNAL_KEY = 0xE1E7E8F0;
constexpr Code PROT_BACKUP_BLOCK_MAP = 0xE1E7E8F1;
constexpr Code PROT_BLOCK_MAP_DIGEST = 0xE1E7E8F2;
constexpr Code PROT_BACKUP_COMPLETE = 0xE1E7E8F5;
constexpr Code PROT_BLOCKSUMS_REQUEST = 0xE1E7E93E;
constexpr Code PROT_BLOCKSUMS_END = 0xE1E7E93F;
constexpr Code PROT_BLOCKSUMS = 0xE1E7E940;
constexpr Code PROT_BLOCKSUMS_DIGEST = 0xE1E7E941;
constexpr Code PROT_BLOCKSUMS_ACK = 0xE1E7E942;
constexpr Code PROT_BLOCK_STREAM = 0xE1E7EAEE;
constexpr Code PROT_BLOCK_STREAM_DIGEST = 0xE1E7EAEF;
constexpr Code PROT_BLOCKS = 0xE1E7EBEE;
constexpr Code PROT_PARTITION_BACKUP_END = 0xE1E7ECE2;
constexpr Code PROT_PARTITION_RESTORE_END = 0xE1E7ECE3;
constexpr Code PROT_PARTITION_RESTORE_READY = 0xE1E7ECE4;
constexpr Code PROT_REQ_PARTITION_BACKUP = 0xE1E7ECEE;
constexpr Code PROT_REQ_PARTITION_RESTORE = 0xE1E7ECEF;
constexpr Code PROT_PARTITION_TABLE = 0xE1E7ECF0;
constexpr Code PROT_SECTOR = 0xE1E7ECF1;
constexpr Code PROT_REQ_FILE_RESTORE = 0xE1E7EDEE;
constexpr Code PROT_FILE_RESTORE_BEGIN = 0xE1E7EDEF;
constexpr Code PROT_FILE_LIST_END = 0xE1E7EDF0;
constexpr Code PROT_FILE_NEXT = 0xE1E7EDF1;
constexpr Code PROT_FILE_ITEM_END = 0xE1E7EDF2;
constexpr Code PROT_FILE_COUNTER = 0xE1E7EDF3;
constexpr Code PROT_FILE_DATA_END = 0xE1E7EDF4;
constexpr Code PROT_FILE_RESTORE_DONE = 0xE1E7EDF6;
constexpr Code PROT_FILE_DATA_CHUNK = 0xE1E7EDF7;
constexpr Code PROT_FILE_FAILED = 0xE1E7EDF8;
constexpr Code PROT_FILE_RESTORED = 0xE1E7EDF9;
constexpr Code PROT_REQ_PARTITION_LIST = 0xE1E7EEEE;
constexpr Code PROT_PARTITION_LIST = 0xE1E7EEEF;
constexpr Code PROT_LOG_ERROR = 0xE1E7EFEE;
constexpr Code PROT_LOG_WARN = 0xE1E7EFEF;
constexpr Code PROT_LOG_INFO = 0xE1E7EFF0;
constexpr Code PROT_STATUS = 0xE1E7F5EE;

// True for the three codes that lead a network log record.
constexpr bool isLogRecordCode(Code code) {
    return code == PROT_LOG_ERROR || code == PROT_LOG_WARN || code == PROT_LOG_INFO;
}

}  // namespace net
