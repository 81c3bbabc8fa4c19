// Where an S3 store is and how to reach it. The store is named s3://BUCKET[/PREFIX]; the
// endpoint and credentials come only from the environment variables the AWS tools use:
//
//   AWS_ENDPOINT_URL       http(s)://HOST[:PORT] (default https://s3.REGION.amazonaws.com);
//                          requests use path style: ENDPOINT/BUCKET/PREFIX/KEY
//   AWS_ACCESS_KEY_ID      required
//   AWS_SECRET_ACCESS_KEY  required
//   AWS_REGION             the signing region (or AWS_DEFAULT_REGION; default us-east-1)
//
// Never from the command line (other users see it) and never in a message: errors name the
// variable, not its value.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace backup_server::objects {

// What a jobs file may say of an S3 store; anything empty comes from the environment.
// Credentials come from a file (never a value on a command line): lines
// "aws_access_key_id = ..." and "aws_secret_access_key = ..." (as in the AWS tools'
// credentials file; other lines and [section] headers are ignored).
struct S3Profile {
    std::string endpoint;
    std::string region;
    std::string credentialsFile;
};

struct S3Settings {
    std::string endpoint;  // scheme://host[:port], no trailing '/'
    std::string bucket;
    std::string prefix;  // empty, or ending with '/'
    std::string region;
    std::string accessKey;
    std::string secretKey;

    // Throws BlobError invalid for a malformed name or endpoint, or missing credentials.
    static S3Settings fromEnvironment(const std::string& storeName, const S3Profile& profile = {});
    // Parses "s3://BUCKET[/PREFIX]" into bucket and prefix; false when malformed.
    bool setLocation(const std::string& storeName);
    std::string storeName() const;
};

// How an S3 store behaves on a slow or failing server.
struct S3Options {
    // Attempts per request (the first included); back-off doubles from firstDelay, at most
    // maxDelay, each wait drawn at random between half and all of it.
    unsigned attempts = 6;
    std::chrono::milliseconds firstDelay{200};
    std::chrono::milliseconds maxDelay{10000};
    std::chrono::seconds connectTimeout{10};
    // A transfer slower than lowSpeedBytes per second for lowSpeedTime is timed out.
    long lowSpeedBytes = 1024;
    std::chrono::seconds lowSpeedTime{30};
    // Objects per page of a listing (the server's maximum is 1000).
    unsigned pageSize = 1000;
    // Whether a put signs the SHA-256 of its body (the server then refuses a body damaged on
    // the way) or sends UNSIGNED-PAYLOAD (for bodies the store's own digests cover).
    bool signPayload = true;
    // putFile sends a file of at least partBytes in parts of this size (more when the file
    // would need over 10000 parts), parallelParts at once, each read from the file as it is
    // sent. S3 takes parts of 5 MiB to 5 GiB (the last one may be shorter).
    std::uint64_t partBytes = std::uint64_t{64} << 20;
    unsigned parallelParts = 4;
    // Told about every retry (what failed, the attempt, the wait), for the log; called from
    // the thread that retries, so from several at once under ParallelPuts.
    std::function<void(const std::string&)> onRetry;
};

}  // namespace backup_server::objects
