#include "backup-server/store/StoreCipher.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "backup-server/store/StoreError.h"
#include "crypto/SecureChannel.h"
#include "platform/ByteOrder.h"
#include "platform/posix/FileDescriptor.h"

namespace backup_server {

namespace fs = std::filesystem;

using MacPtr = std::unique_ptr<EVP_MAC, crypto::OpenSslDeleter<EVP_MAC, EVP_MAC_free>>;
using MacCtxPtr =
    std::unique_ptr<EVP_MAC_CTX, crypto::OpenSslDeleter<EVP_MAC_CTX, EVP_MAC_CTX_free>>;

struct StoreCipher::Keys {
    SealKey seal{};
    // HMAC-SHA256 under the naming key, set up once; each name starts from a copy.
    MacPtr mac;
    MacCtxPtr naming;
};

namespace {

[[noreturn]] void libraryFailed(const char* what) {
    ZENTRAD_THROW(StoreError, std::string("Store cipher: ") + what + " failed");
}

using Fd = platform::FileDescriptor;

bool readAt(int fd, std::uint64_t offset, void* out, std::size_t length) {
    auto* bytes = static_cast<char*>(out);
    while (length > 0) {
        ssize_t got = ::pread(fd, bytes, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

void writeAll(int fd, const void* data, std::size_t length, const fs::path& file) {
    auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t put = ::write(fd, bytes, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            ZENTRAD_THROW(StoreError,
                          "Cannot write " + file.string() + ": " + std::strerror(errno));
        bytes += put;
        length -= static_cast<std::size_t>(put);
    }
}

class FdSource : public ByteSource {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    bool readAt(std::uint64_t offset, void* out, std::size_t length) override {
        return backup_server::readAt(fd_.get(), offset, out, length);
    }

  private:
    Fd fd_;
};

// Reads an object a window at a time: a chunk, or a run of index entries, is then one
// ranged get, not one per piece a reader asks for.
class BlobSource : public ByteSource {
  public:
    static constexpr std::uint64_t kWindowBytes = std::uint64_t{1} << 20;

    BlobSource(objects::BlobStore& blobs, std::string key, std::string first)
        : blobs_(blobs), key_(std::move(key)), window_(std::move(first)) {}
    bool readAt(std::uint64_t offset, void* out, std::size_t length) override {
        if (offset < windowStart_ || length > window_.size() ||
            offset - windowStart_ > window_.size() - length) {
            try {
                window_ = blobs_.get(key_, objects::BlobRange{offset, std::max<std::uint64_t>(
                                                                          length, kWindowBytes)});
            } catch (const objects::BlobError&) {
                window_.clear();
                return false;
            }
            windowStart_ = offset;
            if (window_.size() < length)
                return false;
        }
        std::memcpy(out, window_.data() + (offset - windowStart_), length);
        return true;
    }

  private:
    objects::BlobStore& blobs_;
    std::string key_;
    std::string window_;
    std::uint64_t windowStart_ = 0;
};

class PlainReader : public ObjectReader {
  public:
    PlainReader(std::unique_ptr<ByteSource> source, std::uint64_t size)
        : source_(std::move(source)), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, void* out, std::size_t length, std::string& problem) override {
        if (offset > size_ || length > size_ - offset || !source_->readAt(offset, out, length)) {
            problem =
                "cannot read " + std::to_string(length) + " bytes at " + std::to_string(offset);
            return false;
        }
        return true;
    }

  private:
    std::unique_ptr<ByteSource> source_;
    std::uint64_t size_;
};

class SealedReader : public ObjectReader {
  public:
    SealedReader(std::unique_ptr<ByteSource> source, const SealedHeader& header,
                 std::uint64_t plainBytes, const SealKey& key, std::string_view name)
        : source_(std::move(source)),
          header_(header),
          size_(plainBytes),
          segments_(header.segments(plainBytes)),
          cipher_(key, header, name) {}
    std::uint64_t size() const override { return size_; }

    bool read(std::uint64_t offset, void* out, std::size_t length, std::string& problem) override {
        if (offset > size_ || length > size_ - offset) {
            problem =
                "cannot read " + std::to_string(length) + " bytes at " + std::to_string(offset);
            return false;
        }
        auto* bytes = static_cast<unsigned char*>(out);
        while (length > 0) {
            std::uint64_t segment = offset / header_.segmentBytes;
            if (!load(segment, problem))
                return false;
            std::size_t within = static_cast<std::size_t>(offset % header_.segmentBytes);
            std::size_t step = std::min(length, plain_.size() - within);
            std::memcpy(bytes, plain_.data() + within, step);
            bytes += step;
            offset += step;
            length -= step;
        }
        return true;
    }

  private:
    bool load(std::uint64_t segment, std::string& problem) {
        if (segment == loaded_)
            return true;
        loaded_ = ~std::uint64_t{0};
        bool last = segment + 1 == segments_;
        std::size_t plain = last ? static_cast<std::size_t>(size_ - segment * header_.segmentBytes)
                                 : header_.segmentBytes;
        sealed_.resize(plain + kSealTagBytes);
        plain_.resize(plain);
        if (!source_->readAt(header_.offsetOf(segment), sealed_.data(), sealed_.size())) {
            problem = "cannot read segment " + std::to_string(segment);
            return false;
        }
        if (!cipher_.open(segment, last, sealed_.data(), sealed_.size(), plain_.data())) {
            problem = "sealed segment " + std::to_string(segment) +
                      " does not open (damaged, moved, or not this store's)";
            return false;
        }
        loaded_ = segment;
        return true;
    }

    std::unique_ptr<ByteSource> source_;
    SealedHeader header_;
    std::uint64_t size_;
    std::uint64_t segments_;
    SegmentCipher cipher_;
    std::uint64_t loaded_ = ~std::uint64_t{0};
    std::vector<unsigned char> sealed_;
    std::vector<unsigned char> plain_;
};

class PlainWriter : public ObjectWriter {
  public:
    PlainWriter(int fd, fs::path file) : fd_(fd), file_(std::move(file)) {}
    void write(const void* data, std::size_t length) override {
        writeAll(fd_.get(), data, length, file_);
    }
    void finish() override {
        if (::fsync(fd_.get()) != 0 || !fd_.close())
            ZENTRAD_THROW(StoreError, "Cannot sync " + file_.string());
    }

  protected:
    Fd fd_;
    fs::path file_;
};

// Holds back up to one segment, so that the last one is known when finish comes.
class SealedWriter : public PlainWriter {
  public:
    SealedWriter(int fd, fs::path file, const SealedHeader& header, const SealKey& key,
                 std::string_view name)
        : PlainWriter(fd, std::move(file)), header_(header), cipher_(key, header, name) {
        std::string bytes = header.encode();
        PlainWriter::write(bytes.data(), bytes.size());
        plain_.reserve(header.segmentBytes);
    }
    void write(const void* data, std::size_t length) override {
        auto* bytes = static_cast<const unsigned char*>(data);
        while (length > 0) {
            if (plain_.size() == header_.segmentBytes)
                flush(false);
            std::size_t step = std::min(length, header_.segmentBytes - plain_.size());
            plain_.insert(plain_.end(), bytes, bytes + step);
            bytes += step;
            length -= step;
        }
    }
    void finish() override {
        flush(true);
        PlainWriter::finish();
    }

  private:
    void flush(bool last) {
        sealed_.resize(plain_.size() + kSealTagBytes);
        cipher_.seal(segment_++, last, plain_.data(), plain_.size(), sealed_.data());
        PlainWriter::write(sealed_.data(), sealed_.size());
        plain_.clear();
    }

    SealedHeader header_;
    SegmentCipher cipher_;
    std::uint64_t segment_ = 0;
    std::vector<unsigned char> plain_;
    std::vector<unsigned char> sealed_;
};

SealKey deriveKey(std::string_view master, std::string_view info) {
    std::string bytes = crypto::hkdfSha256(master, {}, info, kSealKeyBytes);
    SealKey key{};
    std::memcpy(key.data(), bytes.data(), key.size());
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return key;
}

}  // namespace

StoreCipher::~StoreCipher() = default;

std::shared_ptr<const StoreCipher> StoreCipher::plain() {
    static const std::shared_ptr<const StoreCipher> cipher(new StoreCipher());
    return cipher;
}

std::shared_ptr<const StoreCipher> StoreCipher::fromMasterKey(std::string_view master) {
    if (master.size() != kSealKeyBytes)
        ZENTRAD_THROW(StoreError, "A store's master key has 32 bytes");
    auto keys = std::make_unique<Keys>();
    keys->seal = deriveKey(master, "zentrad store seal v1");
    SealKey naming = deriveKey(master, "zentrad store name v1");
    keys->mac.reset(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!keys->mac)
        libraryFailed("HMAC fetch");
    keys->naming.reset(EVP_MAC_CTX_new(keys->mac.get()));
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (!keys->naming ||
        EVP_MAC_init(keys->naming.get(), naming.data(), naming.size(), params) != 1)
        libraryFailed("HMAC set-up");
    OPENSSL_cleanse(naming.data(), naming.size());
    std::shared_ptr<StoreCipher> cipher(new StoreCipher());
    cipher->keys_ = std::move(keys);
    return cipher;
}

Sha256Digest StoreCipher::chunkName(ChunkShape shape, const unsigned char* data) const {
    if (!keys_)
        return backup_server::chunkName(shape, data);
    std::string prefix;
    platform::appendBigEndian(prefix, shape.blockSize, 4);
    platform::appendBigEndian(prefix, shape.blocks, 4);
    MacCtxPtr context(EVP_MAC_CTX_dup(keys_->naming.get()));
    Sha256Digest name{};
    std::size_t length = 0;
    if (!context ||
        EVP_MAC_update(context.get(), reinterpret_cast<const unsigned char*>(prefix.data()),
                       prefix.size()) != 1 ||
        EVP_MAC_update(context.get(), data, shape.dataBytes()) != 1 ||
        EVP_MAC_final(context.get(), name.data(), &length, name.size()) != 1 ||
        length != name.size()) {
        libraryFailed("HMAC");
    }
    return name;
}

std::string StoreCipher::seal(SealedKind kind, std::string_view name, std::string plain) const {
    if (!keys_)
        return plain;
    return sealWhole(keys_->seal, kind, name, plain);
}

bool StoreCipher::open(SealedKind kind, std::string_view name, std::string_view stored,
                       bool plainAccepted, std::string& plain, std::string& problem) const {
    if (keys_ && looksSealed(stored))
        return openWhole(keys_->seal, kind, name, stored, plain, problem);
    if (looksSealed(stored)) {
        problem = "sealed, but the store has no keys (is its keys folder missing?)";
        return false;
    }
    if (keys_ && !plainAccepted) {
        problem = "not a sealed file";
        return false;
    }
    plain.assign(stored);
    return true;
}

std::uint64_t StoreCipher::storedLength(std::uint64_t plainBytes) const {
    return keys_ ? sealedLength(plainBytes) : plainBytes;
}

std::unique_ptr<ObjectReader> StoreCipher::openFile(const fs::path& file, SealedKind kind,
                                                    std::string_view name,
                                                    std::string& problem) const {
    int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        problem = errno == ENOENT ? "missing" : std::string("unreadable: ") + std::strerror(errno);
        return nullptr;
    }
    auto source = std::make_unique<FdSource>(descriptor);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        problem = "unreadable";
        return nullptr;
    }
    auto size = static_cast<std::uint64_t>(status.st_size);
    std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(size, kSealedHeaderBytes)),
                     '\0');
    if (!source->readAt(0, head.data(), head.size()))
        head.clear();
    return openSource(std::move(source), size, head, kind, name, problem);
}

std::unique_ptr<ObjectReader> StoreCipher::openObject(objects::BlobStore& blobs,
                                                      const std::string& key, SealedKind kind,
                                                      std::string_view name, std::string& problem,
                                                      std::optional<std::string> fetched) const {
    std::string first;
    std::uint64_t size = 0;
    try {
        first = fetched ? std::move(*fetched)
                        : blobs.get(key, objects::BlobRange{0, BlobSource::kWindowBytes});
        // A short first window is the whole object; only a longer one needs a look.
        std::optional<std::uint64_t> whole =
            first.size() < BlobSource::kWindowBytes ? first.size() : blobs.head(key);
        if (!whole) {
            problem = "missing";
            return nullptr;
        }
        size = *whole;
    } catch (const objects::BlobError& error) {
        problem = error.kind() == objects::BlobError::Kind::missing
                      ? "missing"
                      : "unreadable: " + error.message();
        return nullptr;
    }
    std::string head = first.substr(0, kSealedHeaderBytes);
    return openSource(std::make_unique<BlobSource>(blobs, key, std::move(first)), size, head, kind,
                      name, problem);
}

std::uint64_t StoreCipher::firstWindow() {
    return BlobSource::kWindowBytes;
}

std::unique_ptr<ObjectReader> StoreCipher::openSource(std::unique_ptr<ByteSource> source,
                                                      std::uint64_t size, std::string_view head,
                                                      SealedKind kind, std::string_view name,
                                                      std::string& problem) const {
    if (!keys_) {
        if (looksSealed(head)) {
            problem = "sealed, but the store has no keys (is its keys folder missing?)";
            return nullptr;
        }
        return std::make_unique<PlainReader>(std::move(source), size);
    }
    SealedHeader parsed;
    std::uint64_t plainBytes = 0;
    if (size < kSealedHeaderBytes || head.size() < kSealedHeaderBytes ||
        !parsed.parse(reinterpret_cast<const unsigned char*>(head.data()), size, plainBytes,
                      problem)) {
        if (problem.empty())
            problem = "not a sealed file";
        return nullptr;
    }
    if (parsed.kind != kind) {
        problem = "a sealed file of another kind";
        return nullptr;
    }
    return std::make_unique<SealedReader>(std::move(source), parsed, plainBytes, keys_->seal, name);
}

std::unique_ptr<ObjectWriter> StoreCipher::createFile(const fs::path& file, SealedKind kind,
                                                      std::string_view name) const {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        ZENTRAD_THROW(StoreError, "Cannot create " + file.string() + ": " + std::strerror(errno));
    if (!keys_)
        return std::make_unique<PlainWriter>(fd, file);
    SealedHeader header;
    header.kind = kind;
    if (RAND_bytes(header.salt.data(), static_cast<int>(header.salt.size())) != 1) {
        ::close(fd);
        libraryFailed("random salt");
    }
    return std::make_unique<SealedWriter>(fd, file, header, keys_->seal, name);
}

std::string indexObjectName(const fs::path& file) {
    std::string name = file.filename().string();
    constexpr std::string_view part = ".part";
    if (name.size() > part.size() &&
        name.compare(name.size() - part.size(), part.size(), part) == 0)
        name.resize(name.size() - part.size());
    return name;
}

}  // namespace backup_server
