// The keys of an encrypted store: STORE/keys/ (mode 0700) holds one file per way of
// opening the store, ID.key (mode 0600, ID eight hex digits), each the store's random
// 32-byte master key wrapped under a passphrase or a key file:
//
//   "ZTKY"          4 bytes
//   version         2 bytes, 1
//   kind            1 byte: 1 passphrase, 2 key file
//   reserved        1 byte, 0
//   created         8 bytes, seconds since 1970 (UTC)
//   scrypt log2 N   1 byte  } the passphrase's cost (zeros for a key file), kept with the
//   scrypt r        4 bytes } wrapping so that later wrappings can cost more and every
//   scrypt p        4 bytes } wrapping still opens
//   salt            32 bytes, random
//   key id          16 bytes: HKDF-SHA256(master key, info "zentrad store key id"), the
//                   same in every wrapping of one store
//   nonce           12 bytes, random
//   wrapped key     48 bytes: AES-256-GCM of the master key and its tag, with everything
//                   before the nonce as associated data
//
// all integers big-endian. The wrapping key is scrypt(passphrase, salt, N, r, p) of 32
// bytes for a passphrase, HKDF-SHA256(key file's bytes, salt, "zentrad store key file")
// for a key file. A store is encrypted exactly when it has a keys folder.
#pragma once

#include "backup-server/objects/BlobStore.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backup-server/store/KeySource.h"
#include "backup-server/store/StoreCipher.h"

namespace backup_server {

inline constexpr std::size_t kWrappedKeyBytes = 133;

struct ScryptCost {
    std::uint8_t log2N = 17;  // 128 MiB and about half a second with r = 8
    std::uint32_t r = 8;
    std::uint32_t p = 1;
    // False (with problem set) for a cost outside what this program computes: N from 2^10
    // to 2^24, r and p from 1, memory (128 r N) at most 1 GiB, p r at most 2^16.
    bool check(std::string& problem) const;
};

struct WrappedKey {
    SecretKind kind = SecretKind::passphrase;
    std::int64_t created = 0;
    ScryptCost cost;
    std::array<unsigned char, 32> salt{};
    std::array<unsigned char, 16> keyId{};
    std::array<unsigned char, 12> nonce{};
    std::array<unsigned char, 48> wrapped{};

    std::string encode() const;
    // False, with problem set, for anything that is not a wrapping of a known version.
    bool parse(std::string_view bytes, std::string& problem);
};

// Wraps a master key under a secret (new salt and nonce). Throws StoreError.
WrappedKey wrapMasterKey(std::string_view master, const KeySecret& secret, const ScryptCost& cost);
// The master key, or an empty string when the secret is not the one it was wrapped under.
std::string unwrapMasterKey(const WrappedKey& wrapping, const KeySecret& secret);

class StoreKeyring {
  public:
    struct Entry {
        std::string id;
        WrappedKey key;
    };

    static std::filesystem::path folderOf(const std::filesystem::path& root) {
        return root / "keys";
    }
    // remote: the bucket of an s3:// store, whose wrappings are the objects keys/ID.key
    // (null for a store folder).
    static bool exists(const std::filesystem::path& root, objects::BlobStore* remote = nullptr);

    // Reads every wrapping. Throws StoreError when the folder cannot be read,
    // a wrapping is damaged or the wrappings are not all of one key.
    explicit StoreKeyring(const std::filesystem::path& root, objects::BlobStore* remote = nullptr);

    const std::vector<Entry>& entries() const { return entries_; }
    // The master key, opened with the source's secret. Throws StoreError
    // saying how to give one when there is none, and that it is wrong when no wrapping
    // of its kind opens; usedId receives the wrapping that opened.
    std::string unlock(const KeySource& source, std::string* usedId = nullptr) const;
    // Adds a wrapping of master under secret; returns its id.
    std::string add(std::string_view master, const KeySecret& secret, const ScryptCost& cost);
    // Removes a wrapping; refuses the last one and an unknown id.
    void remove(const std::string& id);

  private:
    void readEntry(const std::string& id, const std::string& bytes, const std::string& where);

    std::filesystem::path root_;
    objects::BlobStore* remote_;
    std::vector<Entry> entries_;
};

// What init (or the first backup into a new folder) asks of a new store's keys.
struct KeyringOptions {
    bool encrypt = true;
    KeySource keys;  // the first passphrase or key file (a missing key file is created)
    ScryptCost cost;
};

// Takes --no-encryption and scrypt-n=N (a power of two) out of words, leaving the rest.
// Throws UsageError for a bad value.
KeyringOptions parseKeyringOptions(std::vector<std::string>& words, const KeySource& keys);
// Gives a new store its keys folder and first wrapping (nothing for --no-encryption).
// Throws StoreError saying how to give a secret when there is none, and
// when the store has keys already.
// Returns the new store's cipher.
std::shared_ptr<const StoreCipher> createStoreKeyring(const std::filesystem::path& root,
                                                      const KeyringOptions& options,
                                                      objects::BlobStore* remote = nullptr);
// Opens the store's cipher: the plain one without a keys folder.
std::shared_ptr<const StoreCipher> openStoreCipher(const std::filesystem::path& root,
                                                   const KeySource& source,
                                                   objects::BlobStore* remote = nullptr);

}  // namespace backup_server
