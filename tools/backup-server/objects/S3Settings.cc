#include "backup-server/objects/S3Settings.h"

#include <cstdlib>

#include "backup-server/objects/BlobStore.h"

namespace backup_server::objects {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

[[noreturn]] void invalid(const std::string& message) {
    ZENTRAD_THROW(BlobError, BlobError::Kind::invalid, message);
}

bool validBucket(const std::string& bucket) {
    if (bucket.size() < 3 || bucket.size() > 63)
        return false;
    for (char c : bucket) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
            return false;
    }
    return true;
}

// scheme://host[:port] with nothing else: user information in the authority would be a
// credential in every message that names the endpoint.
bool validEndpoint(const std::string& endpoint) {
    std::size_t start = endpoint.starts_with("https://")  ? 8
                        : endpoint.starts_with("http://") ? 7
                                                          : 0;
    if (start == 0 || endpoint.size() == start || endpoint.size() > 256)
        return false;
    for (std::size_t i = start; i < endpoint.size(); ++i) {
        char c = endpoint[i];
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
        if (!allowed)
            return false;
    }
    return true;
}

}  // namespace

bool S3Settings::setLocation(const std::string& storeName) {
    if (!storeName.starts_with("s3://"))
        return false;
    std::string rest = storeName.substr(5);
    std::size_t slash = rest.find('/');
    bucket = rest.substr(0, slash);
    prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    if (!prefix.empty() && !prefix.ends_with("/"))
        prefix += '/';
    return validBucket(bucket) && (prefix.empty() || validKey(prefix.substr(0, prefix.size() - 1)));
}

std::string S3Settings::storeName() const {
    std::string name = "s3://" + bucket;
    if (!prefix.empty())
        name += "/" + prefix.substr(0, prefix.size() - 1);
    return name;
}

S3Settings S3Settings::fromEnvironment(const std::string& storeName) {
    S3Settings settings;
    if (!settings.setLocation(storeName)) {
        invalid("Not a valid object store name: " + storeName +
                " (s3://BUCKET or s3://BUCKET/PREFIX; bucket names are 3 to 63 characters of "
                "a-z, 0-9, '.' and '-')");
    }
    settings.region = environment("AWS_REGION");
    if (settings.region.empty())
        settings.region = environment("AWS_DEFAULT_REGION");
    if (settings.region.empty())
        settings.region = "us-east-1";
    for (char c : settings.region) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            invalid("AWS_REGION is not a region name");
    }
    settings.endpoint = environment("AWS_ENDPOINT_URL");
    if (settings.endpoint.empty())
        settings.endpoint = "https://s3." + settings.region + ".amazonaws.com";
    while (settings.endpoint.ends_with("/"))
        settings.endpoint.pop_back();
    if (!validEndpoint(settings.endpoint))
        invalid("AWS_ENDPOINT_URL must be http://HOST[:PORT] or https://HOST[:PORT], nothing more");
    settings.accessKey = environment("AWS_ACCESS_KEY_ID");
    settings.secretKey = environment("AWS_SECRET_ACCESS_KEY");
    if (settings.accessKey.empty() || settings.secretKey.empty())
        invalid("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must be set for " + storeName);
    return settings;
}

}  // namespace backup_server::objects
