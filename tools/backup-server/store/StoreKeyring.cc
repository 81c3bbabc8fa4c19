#include "backup-server/store/StoreKeyring.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "backup-server/store/OperatorValues.h"
#include "backup-server/store/SealedFile.h"
#include "backup-server/store/StoreError.h"
#include "crypto/SecureChannel.h"
#include "platform/ByteOrder.h"

namespace backup_server {

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[4] = {'Z', 'T', 'K', 'Y'};
constexpr std::uint16_t kVersion = 1;
constexpr std::size_t kAssociatedBytes = kWrappedKeyBytes - 12 - 48;
constexpr std::size_t kMasterBytes = 32;

using KdfPtr = std::unique_ptr<EVP_KDF, crypto::OpenSslDeleter<EVP_KDF, EVP_KDF_free>>;
using KdfCtxPtr =
    std::unique_ptr<EVP_KDF_CTX, crypto::OpenSslDeleter<EVP_KDF_CTX, EVP_KDF_CTX_free>>;

[[noreturn]] void fail(const std::string& what) {
    ZENTRAD_THROW(StoreError, what);
}

template <std::size_t N>
void appendBytes(std::string& out, const std::array<unsigned char, N>& bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), N);
}

template <std::size_t N>
void randomFill(std::array<unsigned char, N>& bytes) {
    if (RAND_bytes(bytes.data(), static_cast<int>(N)) != 1)
        fail("No random bytes for the store's keys");
}

std::array<unsigned char, 16> keyIdOf(std::string_view master) {
    std::string id = crypto::hkdfSha256(master, {}, "zentrad store key id", 16);
    std::array<unsigned char, 16> bytes{};
    std::memcpy(bytes.data(), id.data(), bytes.size());
    return bytes;
}

std::string scrypt(const std::string& passphrase, const WrappedKey& wrapping) {
    KdfPtr kdf(EVP_KDF_fetch(nullptr, "SCRYPT", nullptr));
    KdfCtxPtr context(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!context)
        fail("scrypt is not available in this OpenSSL");
    std::uint64_t n = std::uint64_t{1} << wrapping.cost.log2N;
    std::uint32_t r = wrapping.cost.r;
    std::uint32_t p = wrapping.cost.p;
    std::uint64_t maxMemory = (std::uint64_t{1} << 30) + (std::uint64_t{64} << 20);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD,
                                          const_cast<char*>(passphrase.data()), passphrase.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT,
                                          const_cast<unsigned char*>(wrapping.salt.data()),
                                          wrapping.salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxMemory),
        OSSL_PARAM_construct_end()};
    std::string key(32, '\0');
    if (EVP_KDF_derive(context.get(), reinterpret_cast<unsigned char*>(key.data()), key.size(),
                       params) != 1) {
        fail("scrypt failed (N = 2^" + std::to_string(wrapping.cost.log2N) +
             ", r = " + std::to_string(r) + ", p = " + std::to_string(p) + "; out of memory?)");
    }
    return key;
}

std::string wrappingKey(const WrappedKey& wrapping, const KeySecret& secret) {
    std::string_view salt(reinterpret_cast<const char*>(wrapping.salt.data()),
                          wrapping.salt.size());
    if (secret.kind == SecretKind::keyFile)
        return crypto::hkdfSha256(secret.bytes, salt, "zentrad store key file", 32);
    return scrypt(secret.bytes, wrapping);
}

// AES-256-GCM of the 32-byte master key; false when opening fails.
bool gcm(bool encrypting, const std::string& key, const WrappedKey& wrapping,
         const unsigned char* in, unsigned char* out, unsigned char* tag) {
    crypto::CipherCtxPtr context(EVP_CIPHER_CTX_new());
    if (!context)
        fail("Key wrapping: no cipher context");
    std::string aad = wrapping.encode().substr(0, kAssociatedBytes);
    return aes256Gcm(context.get(), encrypting, reinterpret_cast<const unsigned char*>(key.data()),
                     wrapping.nonce.data(), aad, in, kMasterBytes, out, tag);
}

std::string newId() {
    std::array<unsigned char, 4> random{};
    randomFill(random);
    std::string id;
    static const char digits[] = "0123456789abcdef";
    for (unsigned char byte : random) {
        id.push_back(digits[byte >> 4]);
        id.push_back(digits[byte & 15]);
    }
    return id;
}

// A file written whole with mode 0600, then renamed into place, so a wrapping is never
// seen half-written.
void writePrivateFile(const fs::path& file, const std::string& bytes) {
    fs::path temporary = file;
    temporary += ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("Cannot create " + temporary.string() + ": " + std::strerror(errno));
    bool written = ::fchmod(fd, 0600) == 0 &&
                   ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                   ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    std::error_code error;
    if (written)
        fs::rename(temporary, file, error);
    if (!written || error) {
        fs::remove(temporary, error);
        fail("Cannot write " + file.string());
    }
}

void syncFolder(const fs::path& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool ScryptCost::check(std::string& problem) const {
    bool fits = log2N >= 10 && log2N <= 24 && r >= 1 && p >= 1 && r <= 64 && p <= 64 &&
                (std::uint64_t{128} * r << log2N) <= (std::uint64_t{1} << 30);
    if (!fits) {
        problem = "scrypt cost out of range (N = 2^" + std::to_string(log2N) +
                  ", r = " + std::to_string(r) + ", p = " + std::to_string(p) + ")";
    }
    return fits;
}

std::string WrappedKey::encode() const {
    std::string out(kMagic, 4);
    platform::appendBigEndian(out, kVersion, 2);
    platform::appendBigEndian(out, static_cast<std::uint8_t>(kind), 1);
    platform::appendBigEndian(out, 0, 1);
    platform::appendBigEndian(out, static_cast<std::uint64_t>(created), 8);
    bool passphrase = kind == SecretKind::passphrase;
    platform::appendBigEndian(out, passphrase ? cost.log2N : 0, 1);
    platform::appendBigEndian(out, passphrase ? cost.r : 0, 4);
    platform::appendBigEndian(out, passphrase ? cost.p : 0, 4);
    appendBytes(out, salt);
    appendBytes(out, keyId);
    appendBytes(out, nonce);
    appendBytes(out, wrapped);
    return out;
}

bool WrappedKey::parse(std::string_view bytes, std::string& problem) {
    auto p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() != kWrappedKeyBytes || std::memcmp(p, kMagic, 4) != 0) {
        problem = "not a wrapped store key";
        return false;
    }
    if (platform::loadBigEndian(p + 4, 2) != kVersion || (p[6] != 1 && p[6] != 2) || p[7] != 0) {
        problem = "a wrapped store key of an unknown version or kind";
        return false;
    }
    kind = static_cast<SecretKind>(p[6]);
    created = static_cast<std::int64_t>(platform::loadBigEndian(p + 8, 8));
    cost.log2N = p[16];
    cost.r = static_cast<std::uint32_t>(platform::loadBigEndian(p + 17, 4));
    cost.p = static_cast<std::uint32_t>(platform::loadBigEndian(p + 21, 4));
    if (kind == SecretKind::passphrase ? !cost.check(problem)
                                       : (cost.log2N != 0 || cost.r != 0 || cost.p != 0)) {
        if (problem.empty())
            problem = "a key file's wrapping with a scrypt cost";
        return false;
    }
    if (kind == SecretKind::keyFile)
        cost = ScryptCost{};
    std::size_t at = 25;
    auto take = [&](auto& field) {
        std::memcpy(field.data(), p + at, field.size());
        at += field.size();
    };
    take(salt);
    take(keyId);
    take(nonce);
    take(wrapped);
    return true;
}

WrappedKey wrapMasterKey(std::string_view master, const KeySecret& secret, const ScryptCost& cost) {
    std::string problem;
    if (secret.kind == SecretKind::passphrase && !cost.check(problem))
        fail(problem);
    WrappedKey wrapping;
    wrapping.kind = secret.kind;
    wrapping.created = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    wrapping.cost = cost;
    randomFill(wrapping.salt);
    randomFill(wrapping.nonce);
    wrapping.keyId = keyIdOf(master);
    std::string key = wrappingKey(wrapping, secret);
    gcm(true, key, wrapping, reinterpret_cast<const unsigned char*>(master.data()),
        wrapping.wrapped.data(), wrapping.wrapped.data() + kMasterBytes);
    OPENSSL_cleanse(key.data(), key.size());
    return wrapping;
}

std::string unwrapMasterKey(const WrappedKey& wrapping, const KeySecret& secret) {
    if (wrapping.kind != secret.kind)
        return {};
    std::string key = wrappingKey(wrapping, secret);
    std::string master(kMasterBytes, '\0');
    unsigned char tag[16];
    std::memcpy(tag, wrapping.wrapped.data() + kMasterBytes, sizeof tag);
    bool opened = gcm(false, key, wrapping, wrapping.wrapped.data(),
                      reinterpret_cast<unsigned char*>(master.data()), tag);
    OPENSSL_cleanse(key.data(), key.size());
    if (!opened || keyIdOf(master) != wrapping.keyId) {
        OPENSSL_cleanse(master.data(), master.size());
        return {};
    }
    return master;
}

namespace {

constexpr const char* kKeyObjects = "keys/";

}  // namespace

bool StoreKeyring::exists(const fs::path& root, objects::BlobStore* remote) {
    if (remote != nullptr) {
        bool found = false;
        remote->list(kKeyObjects, [&](const objects::BlobInfo&) { found = true; });
        return found;
    }
    std::error_code error;
    return fs::is_directory(folderOf(root), error);
}

void StoreKeyring::readEntry(const std::string& id, const std::string& bytes,
                             const std::string& where) {
    Entry entry{id, {}};
    std::string problem;
    if (!entry.key.parse(bytes, problem))
        fail("Damaged store key " + where + ": " + problem);
    if (!entries_.empty() && entry.key.keyId != entries_.front().key.keyId)
        fail("The store " + root_.string() + " holds wrappings of different keys (" + id + " and " +
             entries_.front().id + ")");
    entries_.push_back(std::move(entry));
}

StoreKeyring::StoreKeyring(const fs::path& root, objects::BlobStore* remote)
    : root_(root), remote_(remote) {
    if (remote_ != nullptr) {
        std::vector<std::string> keys;
        remote_->list(kKeyObjects, [&](const objects::BlobInfo& info) {
            if (info.key.ends_with(".key") && info.size <= 64 * 1024)
                keys.push_back(info.key);
        });
        for (const std::string& key : keys) {
            std::string id = key.substr(std::string_view(kKeyObjects).size());
            readEntry(id.substr(0, id.size() - 4), remote_->get(key), root.string() + "/" + key);
        }
        if (entries_.empty())
            fail("The store " + root.string() + " holds no key: it cannot be opened");
        std::sort(entries_.begin(), entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.key.created < b.key.created; });
        return;
    }
    fs::path folder = folderOf(root);
    std::error_code error;
    struct stat status {};
    if (::stat(folder.c_str(), &status) == 0 && (status.st_mode & 077) != 0) {
        // Wider modes are not refused (the wrappings are useless without their secret),
        // but they are not what init made.
        std::fprintf(stderr,
                     "backup-server: warning: %s is readable by others (mode %03o); "
                     "chmod 700 it\n",
                     folder.c_str(), status.st_mode & 0777);
    }
    for (const auto& item : fs::directory_iterator(folder, error)) {
        fs::path file = item.path();
        if (file.extension() != ".key")
            continue;
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        readEntry(file.stem().string(), bytes, file.string());
    }
    if (error)
        fail("Cannot read the keys folder " + folder.string() + ": " + error.message());
    if (entries_.empty())
        fail("The store " + root.string() + " is encrypted but its keys folder " + folder.string() +
             " holds no key: it cannot be opened");
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.key.created < b.key.created; });
}

std::string StoreKeyring::unlock(const KeySource& source, std::string* usedId) const {
    std::optional<KeySecret> secret = source.secret("Passphrase of the store " + root_.string());
    if (!secret)
        fail("The store " + root_.string() + " is encrypted: " + kHowToGiveSecret);
    std::size_t tried = 0;
    for (const Entry& entry : entries_) {
        if (entry.key.kind != secret->kind)
            continue;
        ++tried;
        std::string master = unwrapMasterKey(entry.key, *secret);
        if (!master.empty()) {
            if (usedId != nullptr)
                *usedId = entry.id;
            return master;
        }
    }
    const char* kind = secret->kind == SecretKind::keyFile ? "key file" : "passphrase";
    fail(std::string("Wrong ") + kind + " for the store " + root_.string() + " (the " +
         secret->origin + " opens none of its " + std::to_string(tried) + " " + kind +
         " wrappings of " + std::to_string(entries_.size()) + ")");
}

std::string StoreKeyring::add(std::string_view master, const KeySecret& secret,
                              const ScryptCost& cost) {
    Entry entry{newId(), wrapMasterKey(master, secret, cost)};
    if (remote_ != nullptr) {
        remote_->put(kKeyObjects + entry.id + ".key", entry.key.encode());
        remote_->sync();
        entries_.push_back(entry);
        return entry.id;
    }
    fs::path folder = folderOf(root_);
    writePrivateFile(folder / (entry.id + ".key"), entry.key.encode());
    syncFolder(folder);
    entries_.push_back(entry);
    return entry.id;
}

void StoreKeyring::remove(const std::string& id) {
    auto found = std::find_if(entries_.begin(), entries_.end(),
                              [&](const Entry& entry) { return entry.id == id; });
    if (found == entries_.end())
        fail("The store " + root_.string() + " has no key " + id + " (key list shows them)");
    if (entries_.size() == 1)
        fail("Key " + id + " is the store's last: add another before removing it");
    if (remote_ != nullptr) {
        remote_->remove(kKeyObjects + id + ".key");
        entries_.erase(found);
        return;
    }
    fs::path file = folderOf(root_) / (id + ".key");
    std::error_code error;
    if (!fs::remove(file, error) || error)
        fail("Cannot remove " + file.string() + ": " + error.message());
    syncFolder(folderOf(root_));
    entries_.erase(found);
}

KeyringOptions parseKeyringOptions(std::vector<std::string>& words, const KeySource& keys) {
    KeyringOptions options;
    options.keys = keys;
    std::vector<std::string> rest;
    for (const std::string& word : words) {
        if (word == "--no-encryption") {
            options.encrypt = false;
        } else if (std::optional<std::string> value = valueOf(word, "scrypt-n")) {
            std::uint64_t n = wholeNumber(word, *value);
            int log2N = 0;
            while (log2N < 63 && (std::uint64_t{1} << log2N) < n)
                ++log2N;
            options.cost.log2N = static_cast<std::uint8_t>(log2N);
            std::string problem;
            if ((std::uint64_t{1} << log2N) != n || !options.cost.check(problem))
                throw UsageError("scrypt-n is a power of two from 1024 to 2^23: " + word);
        } else {
            rest.push_back(word);
        }
    }
    words.swap(rest);
    return options;
}

std::shared_ptr<const StoreCipher> createStoreKeyring(const fs::path& root,
                                                      const KeyringOptions& options,
                                                      objects::BlobStore* remote) {
    if (!options.encrypt)
        return StoreCipher::plain();
    if (StoreKeyring::exists(root, remote))
        fail("The store " + root.string() + " has keys already");
    if (options.keys.keyFile && !fs::exists(*options.keys.keyFile))
        createKeyFile(*options.keys.keyFile);
    std::optional<KeySecret> secret = options.keys.secret("Passphrase for the new store");
    if (secret && !options.keys.keyFile && !options.keys.passwordFile) {
        std::optional<std::string> again = promptPassphrase("The same passphrase again");
        if (!again || *again != secret->bytes)
            fail("The passphrases typed differ; the store was not created");
    }
    if (!secret) {
        fail("A new store is encrypted: " + std::string(kHowToGiveSecret) +
             " (init --no-encryption makes an unencrypted one)");
    }
    std::array<unsigned char, kMasterBytes> master{};
    randomFill(master);
    std::string_view masterBytes(reinterpret_cast<const char*>(master.data()), master.size());
    WrappedKey wrapping = wrapMasterKey(masterBytes, *secret, options.cost);
    auto cipher = StoreCipher::fromMasterKey(masterBytes);
    OPENSSL_cleanse(master.data(), master.size());
    if (remote != nullptr) {
        // One object: it is there whole or not at all.
        remote->put(kKeyObjects + newId() + ".key", wrapping.encode());
        remote->sync();
        return cipher;
    }
    fs::path folder = StoreKeyring::folderOf(root);
    fs::path staging = root / "keys.new";
    std::error_code error;
    fs::remove_all(staging, error);
    fs::create_directories(staging);
    fs::permissions(staging, fs::perms::owner_all, error);
    // The folder appears whole or not at all: a store with an empty keys folder could
    // never be opened.
    writePrivateFile(staging / (newId() + ".key"), wrapping.encode());
    syncFolder(staging);
    fs::rename(staging, folder);
    syncFolder(root);
    return cipher;
}

std::shared_ptr<const StoreCipher> openStoreCipher(const fs::path& root, const KeySource& source,
                                                   objects::BlobStore* remote) {
    if (!StoreKeyring::exists(root, remote))
        return StoreCipher::plain();
    std::string master = StoreKeyring(root, remote).unlock(source);
    auto cipher = StoreCipher::fromMasterKey(master);
    OPENSSL_cleanse(master.data(), master.size());
    return cipher;
}

}  // namespace backup_server
