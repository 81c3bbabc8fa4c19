// fuzz-libs: session
// A packed restore file as a damaged disk or another program might hand it back: its
// options, key record and origin, then every batch. Whatever the bytes, reading ends in
// the units or an exception, never in a read out of bounds or an allocation the bytes
// alone decide.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "backup-server/session/PackedRestore.h"
#include "crypto/CryptoLibrary.h"

namespace {

struct Setup {
    Setup() {
        crypto::CryptoLibrary::initialise();
        file = std::filesystem::temp_directory_path() /
               ("packed-fuzz-" + std::to_string(::getpid()) + ".pack");
    }
    ~Setup() { std::filesystem::remove(file); }
    std::filesystem::path file;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    // Most inputs start with the magic, so that mutation reaches the fields behind it.
    std::string bytes = "zrpack2\n";
    bytes.append(reinterpret_cast<const char*>(data), size);
    std::ofstream(setup.file, std::ios::binary | std::ios::trunc) << bytes;
    try {
        backup_server::PackedRestoreReader reader(setup.file);
        backup_server::RestoreUnit unit;
        for (int units = 0; units < 1000 && reader.next(unit); ++units) {
        }
    } catch (const std::exception&) {
    }
    return 0;
}
