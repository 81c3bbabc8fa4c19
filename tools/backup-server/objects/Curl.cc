#include "backup-server/objects/Curl.h"

#include <mutex>

#include "backup-server/objects/BlobStore.h"

namespace backup_server::objects {

CurlEasyPtr newCurlEasy() {
    static std::once_flag once;
    static CURLcode initialised = CURLE_OK;
    std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
    CurlEasyPtr handle(initialised == CURLE_OK ? curl_easy_init() : nullptr);
    if (!handle)
        ZENTRAD_THROW(BlobError, BlobError::Kind::failed, "Cannot initialise libcurl");
    return handle;
}

void appendHeader(CurlListPtr& list, const std::string& line) {
    curl_slist* longer = curl_slist_append(list.get(), line.c_str());
    if (!longer)
        ZENTRAD_THROW(BlobError, BlobError::Kind::failed, "Out of memory for an HTTP header");
    (void)list.release();
    list.reset(longer);
}

}  // namespace backup_server::objects
