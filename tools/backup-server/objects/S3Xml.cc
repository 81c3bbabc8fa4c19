#include "backup-server/objects/S3Xml.h"

#include <expat.h>

#include <algorithm>
#include <charconv>
#include <memory>

namespace backup_server::objects {
namespace {

constexpr std::size_t kMaxDepth = 8;
constexpr std::size_t kMaxText = kMaxKeyLength + 64;

struct ParserDeleter {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
using ParserPtr = std::unique_ptr<std::remove_pointer_t<XML_Parser>, ParserDeleter>;

// Walks a document and hands each element's text to onText with the element's path, e.g.
// "ListBucketResult/Contents/Key". Elements are named without their namespace.
class Walker {
  public:
    using TextHandler = std::function<bool(const std::string& path, const std::string& text)>;
    using EndHandler = std::function<bool(const std::string& path)>;

    Walker(TextHandler onText, EndHandler onEnd)
        : onText_(std::move(onText)),
          onEnd_(std::move(onEnd)),
          parser_(XML_ParserCreateNS(nullptr, '|')) {}

    // False for a malformed document or one a handler refused.
    bool parse(std::string_view xml) {
        if (!parser_ || xml.size() > kMaxS3ReplyBytes)
            return false;
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &Walker::start, &Walker::end);
        XML_SetCharacterDataHandler(parser_.get(), &Walker::text);
        XML_SetStartDoctypeDeclHandler(parser_.get(), &Walker::doctype);
        XML_Status status =
            XML_Parse(parser_.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE);
        return status == XML_STATUS_OK && !refused_;
    }

  private:
    void refuse() {
        refused_ = true;
        XML_StopParser(parser_.get(), XML_FALSE);
    }
    static Walker& self(void* data) { return *static_cast<Walker*>(data); }
    static void start(void* data, const XML_Char* name, const XML_Char**) {
        Walker& walker = self(data);
        if (walker.refused_)
            return;
        if (walker.depth_ == kMaxDepth)
            return walker.refuse();
        std::string_view local(name);
        if (std::size_t bar = local.rfind('|'); bar != std::string_view::npos)
            local.remove_prefix(bar + 1);
        walker.marks_[walker.depth_++] = walker.path_.size();
        if (!walker.path_.empty())
            walker.path_ += '/';
        walker.path_ += local;
        walker.text_.clear();
    }
    static void end(void* data, const XML_Char*) {
        Walker& walker = self(data);
        if (walker.refused_)
            return;
        if (!walker.onText_(walker.path_, walker.text_) || !walker.onEnd_(walker.path_))
            return walker.refuse();
        walker.text_.clear();
        walker.path_.resize(walker.marks_[--walker.depth_]);
    }
    static void text(void* data, const XML_Char* bytes, int length) {
        Walker& walker = self(data);
        if (walker.refused_)
            return;
        if (walker.text_.size() + static_cast<std::size_t>(length) > kMaxText)
            return walker.refuse();
        walker.text_.append(bytes, static_cast<std::size_t>(length));
    }
    static void doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        self(data).refuse();
    }

    TextHandler onText_;
    EndHandler onEnd_;
    ParserPtr parser_;
    std::string path_;
    std::string text_;
    std::size_t marks_[kMaxDepth] = {};
    std::size_t depth_ = 0;
    bool refused_ = false;
};

[[noreturn]] void invalid(const std::string& what,
                          const std::string& document = "The object store's listing") {
    ZENTRAD_THROW(BlobError, BlobError::Kind::invalid, document + " is not valid: " + what);
}

bool validUploadId(const std::string& text) {
    if (text.empty() || text.size() > 1024)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 127; });
}

bool parseSize(const std::string& text, std::uint64_t& size) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

S3ListPage parseListPage(std::string_view xml, std::size_t maxKeys) {
    S3ListPage page;
    BlobInfo current;
    bool haveKey = false, haveSize = false, sawRoot = false;
    std::string problem;
    auto refuse = [&problem](const char* what) {
        problem = what;
        return false;
    };
    auto onText = [&](const std::string& path, const std::string& text) {
        if (path == "ListBucketResult/IsTruncated") {
            if (text != "true" && text != "false")
                return refuse("IsTruncated is neither true nor false");
            page.truncated = text == "true";
        } else if (path == "ListBucketResult/NextContinuationToken") {
            page.nextToken = text;
        } else if (path == "ListBucketResult/Contents/Key") {
            if (haveKey || !validKey(text))
                return refuse("an object key that is not a valid key");
            current.key = text;
            haveKey = true;
        } else if (path == "ListBucketResult/Contents/Size") {
            if (haveSize || !parseSize(text, current.size))
                return refuse("an object size that is not a number");
            haveSize = true;
        }
        return true;
    };
    auto onEnd = [&](const std::string& path) {
        if (path == "ListBucketResult") {
            sawRoot = true;
        } else if (path == "ListBucketResult/Contents") {
            if (!haveKey || !haveSize)
                return refuse("an object without its key or size");
            if (page.objects.size() == maxKeys)
                return refuse("more objects than were asked for");
            page.objects.push_back(std::move(current));
            current = BlobInfo{};
            haveKey = haveSize = false;
        }
        return true;
    };
    Walker walker(onText, onEnd);
    if (!walker.parse(xml))
        invalid(problem.empty() ? "malformed XML" : problem);
    if (!sawRoot)
        invalid("no ListBucketResult");
    if (page.truncated && page.nextToken.empty())
        invalid("truncated without a continuation token");
    return page;
}

std::string parseErrorCode(std::string_view xml) {
    std::string code;
    auto onText = [&](const std::string& path, const std::string& text) {
        if (path == "Error/Code")
            code = text;
        return true;
    };
    Walker walker(onText, [](const std::string&) { return true; });
    if (!walker.parse(xml) || code.size() > 64)
        return "";
    for (char c : code) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return "";
    }
    return code;
}

std::string parseUploadId(std::string_view xml) {
    std::string id;
    bool seen = false;
    auto onText = [&](const std::string& path, const std::string& text) {
        if (path == "InitiateMultipartUploadResult/UploadId") {
            if (seen)
                return false;
            id = text;
            seen = true;
        }
        return true;
    };
    Walker walker(onText, [](const std::string&) { return true; });
    if (!walker.parse(xml) || !validUploadId(id))
        invalid("no upload id", "The start of a multipart upload");
    return id;
}

S3CompleteReply parseCompleteReply(std::string_view xml) {
    S3CompleteReply reply;
    bool error = false;
    auto onEnd = [&](const std::string& path) {
        reply.completed = reply.completed || path == "CompleteMultipartUploadResult";
        error = error || path == "Error";
        return true;
    };
    Walker walker([](const std::string&, const std::string&) { return true; }, onEnd);
    if (!walker.parse(xml) || reply.completed == error)
        invalid("neither a result nor an error", "The completion of a multipart upload");
    if (error)
        reply.errorCode = parseErrorCode(xml);
    return reply;
}

S3UploadsPage parseUploadsPage(std::string_view xml, std::size_t maxUploads) {
    S3UploadsPage page;
    S3Upload current;
    bool haveKey = false, haveId = false, sawRoot = false;
    std::string problem;
    auto refuse = [&problem](const char* what) {
        problem = what;
        return false;
    };
    auto onText = [&](const std::string& path, const std::string& text) {
        if (path == "ListMultipartUploadsResult/IsTruncated") {
            if (text != "true" && text != "false")
                return refuse("IsTruncated is neither true nor false");
            page.truncated = text == "true";
        } else if (path == "ListMultipartUploadsResult/NextKeyMarker") {
            page.nextKeyMarker = text;
        } else if (path == "ListMultipartUploadsResult/NextUploadIdMarker") {
            page.nextUploadIdMarker = text;
        } else if (path == "ListMultipartUploadsResult/Upload/Key") {
            if (haveKey || !validKey(text))
                return refuse("an upload's key that is not a valid key");
            current.key = text;
            haveKey = true;
        } else if (path == "ListMultipartUploadsResult/Upload/UploadId") {
            if (haveId || !validUploadId(text))
                return refuse("an upload id that is not one");
            current.uploadId = text;
            haveId = true;
        }
        return true;
    };
    auto onEnd = [&](const std::string& path) {
        if (path == "ListMultipartUploadsResult") {
            sawRoot = true;
        } else if (path == "ListMultipartUploadsResult/Upload") {
            if (!haveKey || !haveId)
                return refuse("an upload without its key or id");
            if (page.uploads.size() == maxUploads)
                return refuse("more uploads than were asked for");
            page.uploads.push_back(std::move(current));
            current = S3Upload{};
            haveKey = haveId = false;
        }
        return true;
    };
    const std::string document = "The object store's list of unfinished uploads";
    Walker walker(onText, onEnd);
    if (!walker.parse(xml))
        invalid(problem.empty() ? "malformed XML" : problem, document);
    if (!sawRoot)
        invalid("no ListMultipartUploadsResult", document);
    if (page.truncated && (page.nextKeyMarker.empty() || page.nextUploadIdMarker.empty()))
        invalid("truncated without its markers", document);
    return page;
}

}  // namespace backup_server::objects
