#include "backup-server/objects/S3BlobStore.h"

#include <openssl/evp.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "backup-server/objects/ParallelFor.h"
#include "backup-server/objects/S3Xml.h"

namespace backup_server::objects {

struct FilePart {
    std::filesystem::path file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

namespace {

constexpr std::size_t kMaxErrorBytes = 64 << 10;
constexpr const char* kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// S3 refuses a multipart upload of more parts than this.
constexpr std::uint64_t kMaxParts = 10000;
constexpr std::uint64_t kMinPartBytes = std::uint64_t{5} << 20;
constexpr std::uint64_t kMaxPartBytes = std::uint64_t{5} << 30;

std::string hexOf(const unsigned char* digest, unsigned int length) {
    static const char* hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

[[noreturn]] void noSha256() {
    ZENTRAD_THROW(BlobError, BlobError::Kind::failed, "SHA-256 is not available");
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        noSha256();
    return hexOf(digest, length);
}

struct MdContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

[[noreturn]] void unreadable(const FilePart& part) {
    ZENTRAD_THROW(BlobError, BlobError::Kind::failed,
                  "Cannot read " + std::to_string(part.length) + " bytes at " +
                      std::to_string(part.offset) + " of " + part.file.string());
}

std::string sha256Hex(const FilePart& part) {
    std::unique_ptr<EVP_MD_CTX, MdContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        noSha256();
    std::ifstream in(part.file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(part.offset));
    std::vector<char> buffer(1 << 20);
    for (std::uint64_t left = part.length; left > 0;) {
        auto step = static_cast<std::streamsize>(std::min<std::uint64_t>(left, buffer.size()));
        if (!in.read(buffer.data(), step))
            unreadable(part);
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(step)) != 1)
            noSha256();
        left -= static_cast<std::uint64_t>(step);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        noSha256();
    return hexOf(digest, length);
}

// An ETag as a part's reply carries it: it goes back into the completion's XML as it is,
// so only a quoted or bare token of letters, digits and '-' is taken.
bool plausibleETag(const std::string& tag) {
    return !tag.empty() && tag.size() <= 128 && std::all_of(tag.begin(), tag.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '"' || c == '-';
    });
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

// The body of a put, handed to libcurl piece by piece: bytes in memory, or a run of a file
// read as it goes (so a part of any size costs no memory).
struct Upload {
    std::string_view bytes;
    const FilePart* part = nullptr;
    std::optional<std::ifstream> in;
    std::uint64_t sent = 0;

    Upload(std::string_view bytes, const FilePart* part) : bytes(bytes), part(part) {
        if (part)
            in.emplace(part->file, std::ios::binary);
    }
    std::uint64_t size() const { return part ? part->length : bytes.size(); }

    static size_t read(char* buffer, size_t size, size_t count, void* data) {
        auto* upload = static_cast<Upload*>(data);
        auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(size * count, upload->size() - upload->sent));
        if (!upload->part) {
            std::memcpy(buffer, upload->bytes.data() + upload->sent, n);
        } else if (n > 0) {
            upload->in->seekg(static_cast<std::streamoff>(upload->part->offset + upload->sent));
            // A file cut short under the upload ends it: nothing shorter is ever stored.
            if (!upload->in->read(buffer, static_cast<std::streamsize>(n)))
                return CURL_READFUNC_ABORT;
        }
        upload->sent += n;
        return n;
    }
    static int seek(void* data, curl_off_t offset, int origin) {
        auto* upload = static_cast<Upload*>(data);
        if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > upload->size())
            return CURL_SEEKFUNC_CANTSEEK;
        upload->sent = static_cast<std::uint64_t>(offset);
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
    const FilePart* part = nullptr;  // the body read from a file instead
    std::string payloadHash;         // the body's SHA-256 when computed already
    std::optional<BlobRange> range;
    std::size_t maxBody = kMaxS3ReplyBytes;
    // A reply of HTTP 200 may still be an <Error> (CompleteMultipartUpload).
    bool errorIn200 = false;

    bool hasBody() const {
        return std::strcmp(method, "PUT") == 0 || std::strcmp(method, "POST") == 0;
    }
};

struct S3BlobStore::Reply {
    long status = 0;
    std::string body;
    curl_off_t contentLength = -1;
    bool tooLarge = false;
    std::string failure;  // empty when the request succeeded
    std::string etag;

    static size_t header(char* bytes, size_t size, size_t count, void* data) {
        std::string_view line(bytes, size * count);
        if (line.size() > 5 && strncasecmp(line.data(), "etag:", 5) == 0) {
            line.remove_prefix(5);
            while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
                line.remove_prefix(1);
            while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
                line.remove_suffix(1);
            static_cast<Reply*>(data)->etag.assign(line);
        }
        return size * count;
    }

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
    options_.partBytes = std::clamp(options_.partBytes, kMinPartBytes, kMaxPartBytes);
    options_.parallelParts = std::max(1u, options_.parallelParts);
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
    Upload upload(request.body, request.part);
    char errorText[CURL_ERROR_SIZE] = {};
    std::string address = url(request);
    std::string sigv4 = "aws:amz:" + settings_.region + ":s3";
    CurlListPtr headers;
    std::string payload = kEmptySha256;
    if (!request.payloadHash.empty())
        payload = request.payloadHash;
    else if (request.hasBody())
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
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Reply::header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply);
    if (request.hasBody()) {
        // No "Expect:" to switch off 100-continue: libcurl 7.88 signs the empty header it
        // then leaves out, and the server refuses the signature.
        appendHeader(headers, "Content-Type: application/octet-stream");
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        if (std::strcmp(request.method, "POST") == 0)
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "POST");
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Upload::read);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &Upload::seek);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload.size()));
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
    } else if (request.errorIn200 && reply.status == 200) {
        S3CompleteReply complete = parseCompleteReply(reply.body);
        if (!complete.completed) {
            reply.failure = "HTTP 200 with an error " + complete.errorCode;
            retry = complete.errorCode == "InternalError" || retryableStatus(0, complete.errorCode);
        }
    }
    return reply;
}

S3BlobStore::Reply S3BlobStore::perform(const Request& request) {
    CurlEasyPtr curl = borrow();
    for (unsigned attemptNumber = 1;; ++attemptNumber) {
        bool retry = false;
        Reply reply = attempt(curl.get(), request, retry);
        bool readOrDelete = !request.hasBody() && !request.key.empty();
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

std::string S3BlobStore::putPart(Request& request, const FilePart& part) {
    request.part = &part;
    request.payloadHash = options_.signPayload ? sha256Hex(part) : "UNSIGNED-PAYLOAD";
    Reply reply = perform(request);
    if (reply.status != 200)
        fail(BlobError::Kind::failed, request, describe(reply));
    return reply.etag;
}

void S3BlobStore::putFile(const std::string& key, const std::filesystem::path& file) {
    requireValidKey(key, name());
    std::error_code error;
    std::uint64_t size = std::filesystem::file_size(file, error);
    if (error) {
        ZENTRAD_THROW(BlobError, BlobError::Kind::failed,
                      "Cannot read " + file.string() + ": " + error.message());
    }
    if (size < options_.partBytes) {
        Request request("PUT", key);
        putPart(request, FilePart{file, 0, size});
        return;
    }
    // Parts grow past the chosen size rather than past the most S3 takes.
    std::uint64_t partBytes = std::max(options_.partBytes, (size + kMaxParts - 1) / kMaxParts);
    std::string uploadId = startUpload(key);
    try {
        completeUpload(key, uploadId, putParts(key, uploadId, file, size, partBytes));
    } catch (...) {
        // Parts of an upload never completed are kept (and billed) until it is aborted.
        try {
            abortUpload(key, uploadId);
        } catch (const BlobError& abortFailure) {
            if (options_.onRetry)
                options_.onRetry(abortFailure.message() + "; its parts stay in the bucket");
        }
        throw;
    }
    std::optional<std::uint64_t> stored = head(key);
    if (stored != size) {
        remove(key);
        ZENTRAD_THROW(BlobError, BlobError::Kind::invalid,
                      "S3 " + name() + "/" + key + ": the completed upload holds " +
                          (stored ? std::to_string(*stored) : std::string("no")) +
                          " bytes, not the file's " + std::to_string(size));
    }
}

std::string S3BlobStore::startUpload(const std::string& key) {
    Request request("POST", key);
    request.query = "uploads=";
    Reply reply = perform(request);
    if (reply.status != 200)
        fail(BlobError::Kind::failed, request, describe(reply));
    return parseUploadId(reply.body);
}

std::vector<std::string> S3BlobStore::putParts(const std::string& key, const std::string& uploadId,
                                               const std::filesystem::path& file,
                                               std::uint64_t size, std::uint64_t partBytes) {
    std::uint64_t parts = (size + partBytes - 1) / partBytes;
    std::vector<std::string> tags(parts);
    parallelFor(parts, options_.parallelParts, [&](std::uint64_t part) {
        FilePart piece{file, part * partBytes, std::min(partBytes, size - part * partBytes)};
        Request request("PUT", key);
        request.query =
            "partNumber=" + std::to_string(part + 1) + "&uploadId=" + encode(uploadId, false);
        tags[part] = putPart(request, piece);
        if (!plausibleETag(tags[part]))
            fail(BlobError::Kind::invalid, request, "the reply has no usable ETag");
    });
    return tags;
}

void S3BlobStore::completeUpload(const std::string& key, const std::string& uploadId,
                                 const std::vector<std::string>& tags) {
    std::string body = "<CompleteMultipartUpload>";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + tags[i] +
                "</ETag></Part>";
    }
    body += "</CompleteMultipartUpload>";
    Request request("POST", key);
    request.query = "uploadId=" + encode(uploadId, false);
    request.body = body;
    request.errorIn200 = true;
    Reply reply = perform(request);
    if (reply.status != 200)
        fail(BlobError::Kind::failed, request, describe(reply));
}

void S3BlobStore::abortUpload(const std::string& key, const std::string& uploadId) {
    requireValidKey(key, name());
    Request request("DELETE", key);
    request.query = "uploadId=" + encode(uploadId, false);
    Reply reply = perform(request);
    if (reply.status != 204 && reply.status != 200 && reply.status != 404)
        fail(BlobError::Kind::failed, request, describe(reply));
}

std::uint64_t S3BlobStore::removeLeftovers(const std::string& prefix, std::uint64_t&) {
    std::vector<S3Upload> uploads = unfinishedUploads(prefix);
    for (const S3Upload& upload : uploads)
        abortUpload(upload.key, upload.uploadId);
    return uploads.size();
}

std::vector<S3Upload> S3BlobStore::unfinishedUploads(const std::string& prefix) {
    if (!validPrefix(prefix))
        ZENTRAD_THROW(BlobError, BlobError::Kind::invalid,
                      "Not a valid listing prefix for " + name());
    std::string full = settings_.prefix + prefix;
    std::vector<S3Upload> uploads;
    std::string keyMarker, idMarker;
    for (;;) {
        // Sorted by parameter name, as for a listing of objects.
        Request request("GET", "");
        if (!keyMarker.empty())
            request.query = "key-marker=" + encode(keyMarker, false) + "&";
        request.query +=
            "max-uploads=" + std::to_string(options_.pageSize) + "&prefix=" + encode(full, false);
        if (!idMarker.empty())
            request.query += "&upload-id-marker=" + encode(idMarker, false);
        request.query += "&uploads=";
        Reply reply = perform(request);
        if (reply.status != 200)
            fail(BlobError::Kind::failed, request, describe(reply));
        S3UploadsPage page = parseUploadsPage(reply.body, options_.pageSize);
        for (S3Upload& upload : page.uploads) {
            if (!upload.key.starts_with(full))
                fail(BlobError::Kind::invalid, request, "an upload beyond the listing's prefix");
            upload.key.erase(0, settings_.prefix.size());
            uploads.push_back(std::move(upload));
        }
        if (!page.truncated)
            return uploads;
        if (page.nextKeyMarker == keyMarker && page.nextUploadIdMarker == idMarker)
            fail(BlobError::Kind::invalid, request, "the listing does not move on");
        keyMarker = page.nextKeyMarker;
        idMarker = page.nextUploadIdMarker;
    }
}

}  // namespace backup_server::objects
