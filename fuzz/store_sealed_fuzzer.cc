// fuzz-libs: store
// The files only an encrypted store has, as a damaged or hostile disk might hand them
// back: a wrapped store key parsed (and, for a key file's wrapping, opened), a sealed
// chunk or index opened and read, and a partition-table file (sealed or plain) decoded. Bytes
// sealed here under a fixed key and then edited by the input reach the segment checks; untouched
// ones must read back exactly. Whatever the bytes: a result or an exception, never a read out of
// bounds or an allocation the bytes alone decide.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "backup-server/store/PartitionStore.h"
#include "backup-server/store/StoreCipher.h"
#include "backup-server/store/StoreKeyring.h"
#include "crypto/CryptoLibrary.h"

namespace {

struct Setup {
    Setup() {
        crypto::CryptoLibrary::initialise();
        file = std::filesystem::temp_directory_path() /
               ("sealed-fuzz-" + std::to_string(::getpid()) + ".index");
    }
    ~Setup() { std::filesystem::remove(file); }
    std::shared_ptr<const backup_server::StoreCipher> cipher =
        backup_server::StoreCipher::fromMasterKey(std::string(32, 'k'));
    std::filesystem::path file;
};

// Reads the whole object the way its readers do: a prefix, then the rest.
std::string readObject(backup_server::ObjectReader& reader) {
    std::string plain(std::min<std::uint64_t>(reader.size(), 1 << 20), '\0');
    std::string problem;
    std::size_t head = std::min<std::size_t>(plain.size(), 100);
    if (!reader.read(0, plain.data(), head, problem) ||
        !reader.read(head, plain.data() + head, plain.size() - head, problem)) {
        return problem;
    }
    return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    if (size < 3)
        return 0;
    // The first byte chooses what is tried, the next where an edit goes; the rest is the file.
    std::uint8_t what = data[0] % 4;
    std::uint8_t edit = data[1];
    std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    using namespace backup_server;
    try {
        if (what == 0) {
            WrappedKey wrapping;
            std::string problem;
            if (wrapping.parse(bytes, problem) && wrapping.kind == SecretKind::keyFile)
                unwrapMasterKey(wrapping, KeySecret(SecretKind::keyFile, bytes, "fuzz"));
            return 0;
        }
        SealedKind kind = what == 1   ? SealedKind::chunk
                          : what == 2 ? SealedKind::index
                                      : SealedKind::partitionTable;
        std::string file = bytes;
        bool sealedHere = edit & 1;
        if (sealedHere) {
            file = setup.cipher->seal(kind, "name", bytes);
            // Edit one byte, or none (edit 1): the seal must then hold.
            if (edit > 1)
                file[(edit * 7919u) % file.size()] ^= static_cast<char>(edit);
        }
        if (kind == SealedKind::partitionTable) {
            std::string plain;
            std::string problem;
            bool opened = setup.cipher->open(kind, "name", file, true, plain, problem);
            if (sealedHere && edit == 1 && (!opened || plain != bytes))
                std::abort();
            partitionTableFromBytes(*setup.cipher, "name", file, setup.file);
            return 0;
        }
        std::ofstream(setup.file, std::ios::binary | std::ios::trunc) << file;
        std::string problem;
        auto reader = setup.cipher->openFile(setup.file, kind, "name", problem);
        if (reader) {
            std::string plain = readObject(*reader);
            if (sealedHere && edit == 1 && bytes.size() <= (1 << 20) && plain != bytes)
                std::abort();
        } else if (sealedHere && edit == 1) {
            std::abort();
        }
    } catch (const std::exception&) {
    }
    return 0;
}
