// The XML documents an S3 server sends back: a page of ListObjectsV2, an error, and the
// replies of a multipart upload (its start, its completion, a page of the unfinished
// uploads). All come from the network and are parsed as hostile: a bounded size, depth and text per
// element, no document type declarations (so no entities to expand), and every number and
// key checked before it is used.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "backup-server/objects/BlobStore.h"

namespace backup_server::objects {

// The largest reply body read into memory for a listing or an error.
inline constexpr std::size_t kMaxS3ReplyBytes = std::size_t{4} << 20;

struct S3ListPage {
    std::vector<BlobInfo> objects;  // keys as the server sent them (the store prefix included)
    bool truncated = false;
    std::string nextToken;  // set when truncated
};

// Throws BlobError invalid when the document is not a well-formed ListBucketResult, holds
// more than maxKeys objects, a key that is not a valid key, a size that is not a number, or
// says it is truncated without a continuation token.
S3ListPage parseListPage(std::string_view xml, std::size_t maxKeys);

// The <Code> of an <Error> document, only if it is a plain word (letters and digits, at most
// 64): the rest of an error document (messages, the request as the server saw it, key ids)
// is never repeated. Empty when there is none.
std::string parseErrorCode(std::string_view xml);

// The UploadId of an InitiateMultipartUploadResult. Throws BlobError invalid when there is
// none, or it is not 1 to 1024 visible ASCII characters.
std::string parseUploadId(std::string_view xml);

// The reply to CompleteMultipartUpload, which may be an <Error> even with HTTP 200.
struct S3CompleteReply {
    bool completed = false;  // a CompleteMultipartUploadResult
    std::string errorCode;   // of an <Error>, as parseErrorCode gives it (may be empty)
};
// Throws BlobError invalid when the document is neither.
S3CompleteReply parseCompleteReply(std::string_view xml);

struct S3Upload {
    std::string key;  // as the server sent it (the store prefix included)
    std::string uploadId;
};
struct S3UploadsPage {
    std::vector<S3Upload> uploads;
    bool truncated = false;
    std::string nextKeyMarker, nextUploadIdMarker;  // set when truncated
};
// A page of ListMultipartUploads. Throws BlobError invalid as parseListPage does (more
// than maxUploads, an invalid key or upload id, truncated without both markers).
S3UploadsPage parseUploadsPage(std::string_view xml, std::size_t maxUploads);

}  // namespace backup_server::objects
