// Owners of libcurl's handles. libcurl is initialised once per process, before the first
// handle is made.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace backup_server::objects {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyPtr = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlListPtr = std::unique_ptr<curl_slist, CurlListDeleter>;

// Throws BlobError failed when libcurl cannot be initialised or gives no handle.
CurlEasyPtr newCurlEasy();

// Appends a header line; throws BlobError failed when out of memory.
void appendHeader(CurlListPtr& list, const std::string& line);

}  // namespace backup_server::objects
