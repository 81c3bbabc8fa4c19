// fuzz-libs: requests
// An authenticated server's requests, whatever their bytes: the dispatcher reads encrypted
// units from the wire script (see FuzzWire.h) and runs every request they name — backup,
// restore, file restore, partition table backup and restore with their sectors, the allow
// list, server info, echo, keys and partition list — against an emulated host with one
// blank 1 MiB disk. Each input must end in a result or an exception: no crash, no read or
// write out of bounds, no hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "FuzzWire.h"
#include "crypto/CryptoLibrary.h"
#include "filter/ChangeTracker.h"
#include "requests/Request.h"
#include "requests/RunningBackups.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDiskBytes = 1 << 20;

struct Fixture {
    Fixture() {
        crypto::CryptoLibrary::initialise();
        root =
            fs::temp_directory_path() / ("zentrad-requests-fuzzer-" + std::to_string(::getpid()));
        fs::create_directories(root / "host" / "disks");
        fs::create_directories(root / "host" / "drives");
        ::setenv("ZENTRAD_HOST_ROOT", (root / "host").c_str(), 1);
        ::setenv("ZENTRAD_INSTALL_DIR", (root / "agent").c_str(), 1);
    }
    // A partition table restore may have written the disk: every input starts blank.
    void resetDisk() {
        std::ofstream disk(root / "host" / "disks" / "0.img", std::ios::binary | std::ios::trunc);
        disk.seekp(kDiskBytes - 1);
        disk.put('\0');
    }
    fs::path root;
    filter::ChangeTracker changeTracker;
    requests::RunningBackups runningBackups;
    // Where the agent installed under root keeps its files.
    requests::RequestContext context{
        changeTracker,
        runningBackups,
        root / "agent" / "db",
        root / "agent" / "db" / "backup.allow",
        root / "agent" / "temp",
        1200,
        {root / "agent" / "config" / "rsa.key", root / "agent" / "config" / "rsa_public.key",
         root / "agent" / "config" / "backup.key"}};
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > fuzz::kMaxScriptBytes)
        return 0;
    fixture().resetDisk();
    fuzz::WireConnection wire;
    if (!wire.open())
        return 0;
    wire.feed(data, size);
    try {
        requests::Request::handleRequests(*wire.agent, fixture().context);
    } catch (const std::exception&) {
        // Refusing the input is the expected outcome.
    }
    return 0;
}
