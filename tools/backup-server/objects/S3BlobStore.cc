#include "backup-server/objects/S3BlobStore.h"

#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <thread>

#include "backup-server/objects/S3Xml.h"

namespace backup_server::objects {
namespace {

constexpr std::size_t kMaxErrorBytes = 64 << 10;
constexpr const char* kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        ZENTRAD_THROW(BlobError, BlobError::Kind::failed, "SHA-256 is not available");
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

// RFC 3986 percent-encoding as SigV4 wants it: unreserved characters stay, '/' stays only
// in paths.
std::string encode(std::string_view text, bool path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == '~' || (path && c == '/');
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool retryableCurl(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return true;
        default:
            return false;
    }
}

bool retryableStatus(long status, const std::string& code) {
    return status >= 500 || status == 429 || code == "RequestTimeout" || code == "SlowDown";
}

// The wait before attempt number `next` (2 for the first retry): doubling from first, at
// most max, drawn between half and all of it so that clients throttled together spread out.
std::chrono::milliseconds backoff(const S3Options& options, unsigned next) {
    auto delay = options.firstDelay;
    for (unsigned i = 2; i < next && delay < options.maxDelay; ++i)
        delay *= 2;
    delay = std::min(delay, options.maxDelay);
    thread_local std::minstd_rand random{std::random_device{}()};
    std::uniform_int_distribution<long long> draw(delay.count() / 2, delay.count());
    return std::chrono::milliseconds(draw(random));
}

// The body of a put, handed to libcurl piece by piece (and from the start again when it
// rewinds).
struct Upload {
    std::string_view bytes;
    std::size_t sent = 0;

    static size_t read(char* buffer, size_t size, size_t count, void* data) {
        auto* upload = static_cast<Upload*>(data);
        std::size_t n = std::min(size * count, upload->bytes.size() - upload->sent);
        std::memcpy(buffer, upload->bytes.data() + upload->sent, n);
        upload->sent += n;
        return n;
    }
    static int seek(void* data, curl_off_t offset, int origin) {
        auto* upload = static_cast<Upload*>(data);
        if (origin != SEEK_SET || offset < 0 ||
            static_cast<std::uint64_t>(offset) > upload->bytes.size())
            return CURL_SEEKFUNC_CANTSEEK;
        upload->sent = static_cast<std::size_t>(offset);
        return CURL_SEEKFUNC_OK;
    }
};

}  // namespace

struct S3BlobStore::Request {
    Request(const char* method, std::string key) : method(method), key(std::move(key)) {}

    const char* method;
    std::string key;    // below the store's prefix; empty for a request on the bucket
    std::string query;  // sorted and encoded
    std::string_view body;
    std::optional<BlobRange> range;
    std::size_t maxBody = kMaxS3ReplyBytes;
};

struct S3BlobStore::Reply {
    long status = 0;
    std::string body;
    curl_off_t contentLength = -1;
    bool tooLarge = false;
    std::string failure;  // empty when the request succeeded

    static size_t write(char* bytes, size_t size, size_t count, void* data) {
        auto* reply = static_cast<Reply*>(data);
        std::size_t n = size * count;
        long status = 0;
        curl_easy_getinfo(reply->curl, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300) {
            // An error document: its code is all that is read, from its first bytes.
            std::size_t room = kMaxErrorBytes - std::min(kMaxErrorBytes, reply->body.size());
            reply->body.append(bytes, std::min(n, room));
            return n;
        }
        if (reply->body.size() + n > reply->maxBody) {
            reply->tooLarge = true;
            return 0;  // ends the transfer
        }
        curl_off_t announced = -1;
        if (reply->body.empty() &&
            curl_easy_getinfo(reply->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                CURLE_OK &&
            announced > 0 && static_cast<std::uint64_t>(announced) <= reply->maxBody)
            reply->body.reserve(static_cast<std::size_t>(announced));
        reply->body.append(bytes, n);
        return n;
    }
    CURL* curl = nullptr;
    std::size_t maxBody = 0;
};

std::string S3BlobStore::describe(const Reply& reply) {
    return reply.failure.empty() ? "HTTP " + std::to_string(reply.status) : reply.failure;
}

S3BlobStore::S3BlobStore(S3Settings settings, S3Options options)
    : settings_(std::move(settings)), options_(std::move(options)) {
    options_.attempts = std::max(1u, options_.attempts);
    options_.pageSize = std::clamp(options_.pageSize, 1u, 1000u);
}

CurlEasyPtr S3BlobStore::borrow() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            CurlEasyPtr handle = std::move(idle_.back());
            idle_.pop_back();
            return handle;
        }
    }
    return newCurlEasy();
}

void S3BlobStore::giveBack(CurlEasyPtr handle) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(handle));
}

std::string S3BlobStore::url(const Request& request) const {
    std::string text = settings_.endpoint + "/" + settings_.bucket;
    if (!request.key.empty())
        text += "/" + encode(settings_.prefix + request.key, true);
    if (!request.query.empty())
        text += "?" + request.query;
    return text;
}

std::string S3BlobStore::message(const Request& request, const std::string& reason) const {
    std::string text = std::string("S3 ") + request.method + " " + name() +
                       (request.key.empty() ? "" : "/" + request.key) + ": " + reason;
    // Nothing above should hold a credential; this makes sure, whatever a server or
    // libcurl put into the reason.
    for (const std::string* secret : {&settings_.accessKey, &settings_.secretKey}) {
        for (std::size_t at; !secret->empty() && (at = text.find(*secret)) != std::string::npos;)
            text.replace(at, secret->size(), "[credential]");
    }
    return text;
}

void S3BlobStore::fail(BlobError::Kind kind, const Request& request,
                       const std::string& reason) const {
    ZENTRAD_THROW(BlobError, kind, message(request, reason));
}

S3BlobStore::Reply S3BlobStore::attempt(CURL* curl, const Request& request, bool& retry) {
    curl_easy_reset(curl);
    Reply reply;
    reply.curl = curl;
    reply.maxBody = request.maxBody;
    Upload upload{request.body};
    char errorText[CURL_ERROR_SIZE] = {};
    std::string address = url(request);
    std::string sigv4 = "aws:amz:" + settings_.region + ":s3";
    CurlListPtr headers;
    std::string payload = kEmptySha256;
    if (std::strcmp(request.method, "PUT") == 0)
        payload = options_.signPayload ? sha256Hex(request.body) : "UNSIGNED-PAYLOAD";
    appendHeader(headers, "x-amz-content-sha256: " + payload);
    if (request.range) {
        appendHeader(headers,
                     "Range: bytes=" + std::to_string(request.range->offset) + "-" +
                         std::to_string(request.range->offset + request.range->length - 1));
    }
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.accessKey.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.secretKey.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                     static_cast<long>(options_.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, options_.lowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(options_.lowSpeedTime.count()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Reply::write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    if (std::strcmp(request.method, "PUT") == 0) {
        // No "Expect:" to switch off 100-continue: libcurl 7.88 signs the empty header it
        // then leaves out, and the server refuses the signature.
        appendHeader(headers, "Content-Type: application/octet-stream");
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Upload::read);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &Upload::seek);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
    } else if (std::strcmp(request.method, "HEAD") == 0) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (std::strcmp(request.method, "DELETE") == 0) {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());

    CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        if (reply.tooLarge) {
            reply.failure = "the reply is larger than a read may be";
            retry = false;
        } else {
            reply.failure = std::string(curl_easy_strerror(code)) +
                            (errorText[0] ? std::string(": ") + errorText : "");
            retry = retryableCurl(code);
        }
        return reply;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &reply.contentLength);
    if (reply.status >= 400) {
        std::string errorCode = parseErrorCode(reply.body);
        reply.failure =
            "HTTP " + std::to_string(reply.status) + (errorCode.empty() ? "" : " " + errorCode);
        retry = retryableStatus(reply.status, errorCode);
    }
    return reply;
}

S3BlobStore::Reply S3BlobStore::perform(const Request& request) {
    CurlEasyPtr curl = borrow();
    for (unsigned attemptNumber = 1;; ++attemptNumber) {
        bool retry = false;
        Reply reply = attempt(curl.get(), request, retry);
        bool readOrDelete = std::strcmp(request.method, "PUT") != 0 && !request.key.empty();
        bool handled =
            reply.failure.empty() || (readOrDelete && (reply.status == 404 || reply.status == 416));
        if (handled) {
            giveBack(std::move(curl));
            return reply;
        }
        if (!retry || attemptNumber == options_.attempts) {
            fail(reply.tooLarge ? BlobError::Kind::invalid : BlobError::Kind::failed, request,
                 reply.failure + (attemptNumber > 1
                                      ? " (after " + std::to_string(attemptNumber) + " attempts)"
                                      : ""));
        }
        auto wait = backoff(options_, attemptNumber + 1);
        if (options_.onRetry) {
            options_.onRetry(message(request, reply.failure + "; attempt " +
                                                  std::to_string(attemptNumber + 1) + " of " +
                                                  std::to_string(options_.attempts) + " in " +
                                                  std::to_string(wait.count()) + " ms"));
        }
        std::this_thread::sleep_for(wait);
    }
}

void S3BlobStore::put(const std::string& key, std::string_view bytes) {
    requireValidKey(key, name());
    Request request("PUT", key);
    request.body = bytes;
    Reply reply = perform(request);
    if (reply.status != 200)
        fail(BlobError::Kind::failed, request, describe(reply));
}

std::string S3BlobStore::get(const std::string& key, std::optional<BlobRange> range) {
    requireValidKey(key, name());
    Request request("GET", key);
    request.range = range;
    request.maxBody = static_cast<std::size_t>(kMaxGetBytes);
    if (range) {
        if (range->length == 0) {
            // Nothing to read: only whether the object is there matters.
            if (!head(key))
                ZENTRAD_THROW(BlobError, BlobError::Kind::missing,
                              "No object " + name() + "/" + key);
            return "";
        }
        request.range->length = std::min(range->length, kMaxGetBytes);
        request.maxBody = static_cast<std::size_t>(request.range->length);
    }
    Reply reply = perform(request);
    if (reply.status == 404)
        ZENTRAD_THROW(BlobError, BlobError::Kind::missing, "No object " + name() + "/" + key);
    if (reply.status == 416)
        return "";  // the range starts at or past the object's end
    bool whole = reply.status == 200 && (!range || range->offset == 0);
    if (reply.status != 206 && !whole)
        fail(BlobError::Kind::invalid, request,
             "HTTP " + std::to_string(reply.status) + " to a read");
    return std::move(reply.body);
}

std::optional<std::uint64_t> S3BlobStore::head(const std::string& key) {
    requireValidKey(key, name());
    Request request("HEAD", key);
    Reply reply = perform(request);
    if (reply.status == 404)
        return std::nullopt;
    if (reply.status != 200 || reply.contentLength < 0)
        fail(BlobError::Kind::invalid, request,
             "HTTP " + std::to_string(reply.status) + " without a length");
    return static_cast<std::uint64_t>(reply.contentLength);
}

void S3BlobStore::remove(const std::string& key) {
    requireValidKey(key, name());
    Request request("DELETE", key);
    Reply reply = perform(request);
    if (reply.status != 204 && reply.status != 200 && reply.status != 404)
        fail(BlobError::Kind::failed, request, describe(reply));
}

void S3BlobStore::list(const std::string& prefix,
                       const std::function<void(const BlobInfo&)>& visit) {
    if (!validPrefix(prefix))
        ZENTRAD_THROW(BlobError, BlobError::Kind::invalid,
                      "Not a valid listing prefix for " + name());
    std::string full = settings_.prefix + prefix;
    std::string token, last;
    do {
        // Sorted by parameter name: libcurl signs the query exactly as written.
        Request request("GET", "");
        if (!token.empty())
            request.query = "continuation-token=" + encode(token, false) + "&";
        request.query += "list-type=2&max-keys=" + std::to_string(options_.pageSize) +
                         "&prefix=" + encode(full, false);
        Reply reply = perform(request);
        if (reply.status != 200)
            fail(BlobError::Kind::failed, request, describe(reply));
        S3ListPage page = parseListPage(reply.body, options_.pageSize);
        for (BlobInfo& object : page.objects) {
            // Keys come in ascending order, which also proves a page is never served twice.
            if (!object.key.starts_with(full) || object.key <= last)
                fail(BlobError::Kind::invalid, request,
                     "the listing is out of order or beyond its prefix");
            last = object.key;
            object.key.erase(0, settings_.prefix.size());
            visit(object);
        }
        token = page.truncated ? page.nextToken : "";
    } while (!token.empty());
}

}  // namespace backup_server::objects
