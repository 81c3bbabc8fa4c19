// fuzz-libs: objects
// Arbitrary bytes as an object store's reply: a ListObjectsV2 page, an error document, and
// the replies of a multipart upload (its start, its completion, a page of unfinished
// uploads). A page that parses must keep the promises the client relies on: no more objects
// or uploads than were asked for, every key a valid key, a continuation token or markers
// whenever the page says it is cut short; an error code is a plain word; an upload id is
// visible ASCII; a completion is a result or an error, never both.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "backup-server/objects/S3Xml.h"

using namespace backup_server::objects;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::size_t maxKeys = data[0] % 8 + 1;
    std::string_view xml(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        S3ListPage page = parseListPage(xml, maxKeys);
        if (page.objects.size() > maxKeys || (page.truncated && page.nextToken.empty()))
            std::abort();
        for (const BlobInfo& object : page.objects) {
            if (!validKey(object.key))
                std::abort();
        }
    } catch (const BlobError& error) {
        if (error.kind() != BlobError::Kind::invalid)
            std::abort();
    }
    auto plainWord = [](const std::string& code) {
        return code.size() <= 64 && std::all_of(code.begin(), code.end(), [](char c) {
                   return std::isalnum(static_cast<unsigned char>(c)) != 0;
               });
    };
    if (!plainWord(parseErrorCode(xml)))
        std::abort();
    try {
        S3UploadsPage page = parseUploadsPage(xml, maxKeys);
        if (page.uploads.size() > maxKeys ||
            (page.truncated && (page.nextKeyMarker.empty() || page.nextUploadIdMarker.empty())))
            std::abort();
        for (const S3Upload& upload : page.uploads) {
            if (!validKey(upload.key) || upload.uploadId.empty())
                std::abort();
        }
    } catch (const BlobError& error) {
        if (error.kind() != BlobError::Kind::invalid)
            std::abort();
    }
    try {
        std::string id = parseUploadId(xml);
        if (id.empty() || id.size() > 1024 ||
            std::any_of(id.begin(), id.end(), [](char c) { return c <= ' ' || c >= 127; }))
            std::abort();
    } catch (const BlobError& error) {
        if (error.kind() != BlobError::Kind::invalid)
            std::abort();
    }
    try {
        S3CompleteReply reply = parseCompleteReply(xml);
        if ((reply.completed && !reply.errorCode.empty()) || !plainWord(reply.errorCode))
            std::abort();
    } catch (const BlobError& error) {
        if (error.kind() != BlobError::Kind::invalid)
            std::abort();
    }
    return 0;
}
