#include "requests/FileRestoreItem.h"

#include "runtime/Exceptions.h"

namespace requests {

namespace {

template <typename V>
auto readAttribute(const util::KeyValueMap& record, const std::string& key) {
    const V* value = record.findAs<V>(key);
    if (value == nullptr) {
        ZENTRAD_THROW(runtime::AgentException,
                      "Unable to read attribute '" + key + "' from NtfsFileAttributes");
    }
    return value->value;
}

}  // namespace

std::uint64_t unixTimeToFileTime(std::uint64_t seconds) {
    return (seconds + 11644473600ull) * 10000000ull;
}

void parseFileAttributes(const util::KeyValueMap& record, FileRestoreItem& item) {
    item.fileSize = readAttribute<util::Uint64Value>(record, "fileSize");
    item.filePath = readAttribute<util::StringValue>(record, "filePath");
    item.srcfs = readAttribute<util::StringValue>(record, "srcfs");
    const bool ntfs = item.srcfs == "ntfs";
    if (ntfs) {
        item.mftFlags = readAttribute<util::Uint16Value>(record, "mftFlags");
        item.attrFlags = readAttribute<util::Uint32Value>(record, "attrFlags");
    }
    item.accessTime = readAttribute<util::Uint64Value>(record, "accessTime");
    item.modifyTime = readAttribute<util::Uint64Value>(record, "modifyTime");
    item.createTime = readAttribute<util::Uint64Value>(record, "createTime");
    if (!ntfs) {
        item.accessTime = unixTimeToFileTime(item.accessTime);
        item.modifyTime = unixTimeToFileTime(item.modifyTime);
        item.createTime = unixTimeToFileTime(item.createTime);
    }
    item.isDirectory = readAttribute<util::BoolValue>(record, "isDirectory");
}

}  // namespace requests
