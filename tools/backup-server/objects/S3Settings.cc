#include "backup-server/objects/S3Settings.h"

#include <cstdlib>
#include <fstream>

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

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    std::size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Reads the two keys of a credentials file; a small file (a few lines), so a longer one is
// refused rather than read.
void readCredentials(const std::string& file, S3Settings& settings) {
    std::ifstream in(file);
    if (!in)
        invalid("Cannot read the credentials file " + file);
    std::string line;
    std::size_t read = 0;
    while (std::getline(in, line)) {
        read += line.size() + 1;
        if (read > 64 * 1024)
            invalid("The credentials file " + file + " is longer than 64 KiB");
        std::size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = trimmed(line.substr(0, equals));
        std::string value = trimmed(line.substr(equals + 1));
        if (key == "aws_access_key_id")
            settings.accessKey = value;
        else if (key == "aws_secret_access_key")
            settings.secretKey = value;
    }
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

S3Settings S3Settings::fromEnvironment(const std::string& storeName, const S3Profile& profile) {
    S3Settings settings;
    if (!settings.setLocation(storeName)) {
        invalid("Not a valid object store name: " + storeName +
                " (s3://BUCKET or s3://BUCKET/PREFIX; bucket names are 3 to 63 characters of "
                "a-z, 0-9, '.' and '-')");
    }
    settings.region = profile.region.empty() ? environment("AWS_REGION") : profile.region;
    if (settings.region.empty())
        settings.region = environment("AWS_DEFAULT_REGION");
    if (settings.region.empty())
        settings.region = "us-east-1";
    for (char c : settings.region) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            invalid("AWS_REGION is not a region name");
    }
    settings.endpoint =
        profile.endpoint.empty() ? environment("AWS_ENDPOINT_URL") : profile.endpoint;
    if (settings.endpoint.empty())
        settings.endpoint = "https://s3." + settings.region + ".amazonaws.com";
    while (settings.endpoint.ends_with("/"))
        settings.endpoint.pop_back();
    if (!validEndpoint(settings.endpoint))
        invalid("AWS_ENDPOINT_URL must be http://HOST[:PORT] or https://HOST[:PORT], nothing more");
    if (!profile.credentialsFile.empty()) {
        readCredentials(profile.credentialsFile, settings);
        if (settings.accessKey.empty() || settings.secretKey.empty())
            invalid("The credentials file " + profile.credentialsFile +
                    " has no aws_access_key_id and aws_secret_access_key lines");
        return settings;
    }
    settings.accessKey = environment("AWS_ACCESS_KEY_ID");
    settings.secretKey = environment("AWS_SECRET_ACCESS_KEY");
    if (settings.accessKey.empty() || settings.secretKey.empty())
        invalid("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must be set for " + storeName);
    return settings;
}

}  // namespace backup_server::objects
