// Objects in an S3-compatible bucket, through libcurl with its own SigV4 signing.
//
// Requests are path style (ENDPOINT/BUCKET/PREFIX/KEY). Every request carries
// x-amz-content-sha256 (the body's SHA-256, the empty body's, or UNSIGNED-PAYLOAD: servers
// refuse a SigV4 request without it) and its query string sorted and encoded, because libcurl
// signs the query as it is given. Time-outs, dropped connections, 5xx, 429 and throttling
// (503 SlowDown, 400 RequestTimeout) are retried with a growing, randomised wait, a bounded
// number of times; a request that still fails is a BlobError to the caller. A put overwrites
// an object of the same key (content naming makes that the same bytes), so no look is spent
// first. An answered put is durable: sync() has nothing to do.
//
// putFile sends a file below S3Options::partBytes in one PUT, a larger one as a multipart
// upload: its parts go a few at once, each read from the file as it is sent and retried as
// a put is; the upload is completed with the parts' ETags and the object's size checked
// after. An upload that fails is aborted, so that no part is left behind (should the abort
// fail too, onRetry is told, and unfinishedUploads finds it later).
//
// Thread safety: any number of calls at once; each borrows an idle libcurl handle (keeping
// its connection open for the next call) or makes one.
#pragma once

#include <filesystem>
#include <mutex>
#include <vector>

#include "backup-server/objects/BlobStore.h"
#include "backup-server/objects/Curl.h"
#include "backup-server/objects/S3Settings.h"
#include "backup-server/objects/S3Xml.h"

namespace backup_server::objects {

struct FilePart;  // a run of a local file's bytes: the body of a put or part

class S3BlobStore : public BlobStore {
  public:
    explicit S3BlobStore(S3Settings settings, S3Options options = {});

    std::string name() const override { return settings_.storeName(); }
    const S3Settings& settings() const { return settings_; }
    void put(const std::string& key, std::string_view bytes) override;
    void putFile(const std::string& key, const std::filesystem::path& file) override;
    std::string get(const std::string& key, std::optional<BlobRange> range = {}) override;
    std::optional<std::uint64_t> head(const std::string& key) override;
    void remove(const std::string& key) override;
    void list(const std::string& prefix,
              const std::function<void(const BlobInfo&)>& visit) override;
    void sync() override {}
    // Aborts the unfinished multipart uploads under prefix (their size is not known).
    std::uint64_t removeLeftovers(const std::string& prefix, std::uint64_t& bytes) override;
    // The multipart uploads begun under prefix and neither completed nor aborted (keys
    // below the store's prefix), and the way to abort one.
    std::vector<S3Upload> unfinishedUploads(const std::string& prefix);
    void abortUpload(const std::string& key, const std::string& uploadId);

  private:
    struct Request;
    struct Reply;

    // One PUT of a run of a file (an object, or a part when the request's query says so);
    // returns the reply's ETag.
    std::string putPart(Request& request, const FilePart& part);
    std::string startUpload(const std::string& key);
    std::vector<std::string> putParts(const std::string& key, const std::string& uploadId,
                                      const std::filesystem::path& file, std::uint64_t size,
                                      std::uint64_t partBytes);
    void completeUpload(const std::string& key, const std::string& uploadId,
                        const std::vector<std::string>& tags);

    // Sends the request until it succeeds or its retries are spent; throws BlobError
    // failed then. A reply with a status the caller handles (e.g. 404) is returned.
    Reply perform(const Request& request);
    // One try; the reply's failure is set when it failed, retry when trying again may help.
    Reply attempt(CURL* curl, const Request& request, bool& retry);
    std::string url(const Request& request) const;
    static std::string describe(const Reply& reply);
    // "S3 METHOD s3://BUCKET/PREFIX/KEY: reason", with any credential blotted out.
    std::string message(const Request& request, const std::string& reason) const;
    [[noreturn]] void fail(BlobError::Kind kind, const Request& request,
                           const std::string& reason) const;
    CurlEasyPtr borrow();
    void giveBack(CurlEasyPtr handle);

    S3Settings settings_;
    S3Options options_;
    std::mutex mutex_;
    std::vector<CurlEasyPtr> idle_;
};

}  // namespace backup_server::objects
