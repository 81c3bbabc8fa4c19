#include "platform/emulated/snapshot/SnapshotRegistry.h"

#include "platform/emulated/driver/DriverStore.h"
#include "platform/emulated/snapshot/ExtentReader.h"
#include "platform/emulated/snapshot/FileLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/ByteOrder.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/driver/DriverStore.h"
#include "platform/emulated/snapshot/ExtentReader.h"
#include "platform/emulated/snapshot/FileLock.h"
#include "platform/emulated/snapshot/GuidText.h"
#include "platform/emulated/snapshot/SnapshotView.h"

namespace platform::emulated {

const wchar_t* const kShadowCopyDevicePrefix =
    L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy";

namespace {

std::string serialize(const SnapshotRecord& r) {
    std::ostringstream out;
    out << r.number << ' ' << r.ownerPid << ' ' << r.ownerStart << ' ' << guidText(r.snapshotId)
        << ' ' << guidText(r.setId) << ' ' << r.created << ' ' << r.length << ' '
        << toNarrow(r.volumeName);
    for (const VolumeExtent& e : r.extents)
        out << ' ' << e.diskNumber << ':' << e.offset << ':' << e.length;
    return out.str();
}

std::optional<SnapshotRecord> parse(const std::string& line) {
    std::istringstream in(line);
    SnapshotRecord r;
    std::string snapshotId, setId, volume, extent;
    if (!(in >> r.number >> r.ownerPid >> r.ownerStart >> snapshotId >> setId >> r.created >>
          r.length >> volume))
        return std::nullopt;
    auto id = parseGuidText(snapshotId);
    auto set = parseGuidText(setId);
    if (!id || !set)
        return std::nullopt;
    r.snapshotId = *id;
    r.setId = *set;
    r.volumeName = toWide(volume);
    while (in >> extent) {
        VolumeExtent e;
        char colon1 = 0, colon2 = 0;
        std::istringstream parts(extent);
        if (!(parts >> e.diskNumber >> colon1 >> e.offset >> colon2 >> e.length) || colon1 != ':' ||
            colon2 != ':')
            return std::nullopt;
        r.extents.push_back(e);
    }
    return r;
}

bool alive(const SnapshotRecord& record) {
    std::uint64_t start = SnapshotRegistry::processStart(record.ownerPid);
    return start != 0 && start == record.ownerStart;
}

FileDescriptor openStoreFile(const std::filesystem::path& file, int flags) {
    return FileDescriptor(::open(file.c_str(), flags | O_CLOEXEC, 0644));
}

}  // namespace

std::wstring SnapshotRecord::deviceObject() const {
    return kShadowCopyDevicePrefix + std::to_wstring(number);
}

SnapshotRegistry::SnapshotRegistry(Host& host) : host_(host), dir_(host.root() / "snapshots") {}

int SnapshotRegistry::currentPid() {
    return static_cast<int>(::getpid());
}

std::uint64_t SnapshotRegistry::processStart(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: fields count from the last ')'.
    std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    // After the name: state is field 3, start time field 22.
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22)
            return std::strtoull(field.c_str(), nullptr, 10);
    }
    return 0;
}

std::filesystem::path SnapshotRegistry::storeDir(std::uint32_t number) const {
    return dir_ / std::to_string(number);
}

std::vector<SnapshotRecord> SnapshotRegistry::load() const {
    std::vector<SnapshotRecord> records;
    std::ifstream in(dir_ / "registry");
    std::string line;
    while (std::getline(in, line)) {
        if (auto record = parse(line))
            records.push_back(*record);
    }
    return records;
}

void SnapshotRegistry::save(const std::vector<SnapshotRecord>& records) const {
    std::filesystem::path file = dir_ / "registry";
    if (records.empty()) {
        std::filesystem::remove(file);
        return;
    }
    std::filesystem::path temporary = dir_ / "registry.tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const SnapshotRecord& r : records)
            out << serialize(r) << '\n';
        out.flush();
        if (!out)
            throw std::runtime_error("cannot write " + temporary.string());
    }
    std::filesystem::rename(temporary, file);
}

void SnapshotRegistry::deleteStore(const SnapshotRecord& snapshot) const {
    retireSnapshotStore(storeDir(snapshot.number), snapshot.length);
    std::error_code ignored;
    std::filesystem::remove_all(storeDir(snapshot.number), ignored);
}

std::vector<SnapshotRecord> SnapshotRegistry::loadPruned() {
    std::vector<SnapshotRecord> records = load();
    auto dead = std::stable_partition(records.begin(), records.end(), alive);
    if (dead == records.end())
        return records;
    for (auto it = dead; it != records.end(); ++it)
        deleteStore(*it);
    records.erase(dead, records.end());
    save(records);
    return records;
}

std::unique_ptr<FileLock> SnapshotRegistry::holdWrites() {
    std::error_code error;
    if (!std::filesystem::is_directory(dir_, error))
        std::filesystem::create_directories(dir_);
    return std::make_unique<FileLock>(dir_ / "hold", FileLock::Mode::shared);
}

std::uint64_t SnapshotRegistry::chunkDigest(const std::uint8_t* bytes, std::size_t length) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

void SnapshotRegistry::recordDigests(const SnapshotRecord& record) {
    ExtentReader reader(host_, record.extents);
    std::vector<std::uint8_t> chunk(kSnapshotChunk);
    std::string digests;
    for (std::uint64_t at = 0; at < record.length; at += kSnapshotChunk) {
        std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(kSnapshotChunk, record.length - at));
        if (!reader.read(at, chunk.data(), length))
            throw std::runtime_error("cannot read the volume to record its digests");
        std::uint64_t digest = chunkDigest(chunk.data(), length);
        for (int i = 0; i < 8; ++i)
            digests.push_back(static_cast<char>(digest >> (8 * i)));
    }
    std::filesystem::create_directories(dir_ / "digests");
    std::ofstream out(dir_ / "digests" / std::to_string(record.number),
                      std::ios::binary | std::ios::trunc);
    out.write(digests.data(), static_cast<std::streamsize>(digests.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write the snapshot's digests");
}

std::vector<std::uint64_t> SnapshotRegistry::creationDigests(std::uint32_t number) const {
    std::ifstream in(dir_ / "digests" / std::to_string(number), std::ios::binary);
    std::vector<std::uint64_t> digests;
    std::uint8_t bytes[8];
    while (in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
        digests.push_back(loadLittleU64(bytes));
    }
    return digests;
}

SnapshotRecord SnapshotRegistry::create(SnapshotRecord record) {
    std::filesystem::create_directories(dir_);
    // No write is under way while the snapshot comes into being.
    FileLock hold(dir_ / "hold", FileLock::Mode::exclusive);
    FileLock lock(dir_ / "lock", FileLock::Mode::exclusive);
    std::vector<SnapshotRecord> records = loadPruned();
    std::uint32_t next = 1;
    std::ifstream(dir_ / "counter") >> next;
    record.number = std::max<std::uint32_t>(next, 1);
    std::ofstream(dir_ / "counter", std::ios::trunc) << record.number + 1 << '\n';
    record.ownerPid = currentPid();
    record.ownerStart = processStart(record.ownerPid);
    std::filesystem::path store = storeDir(record.number);
    std::filesystem::remove_all(store);
    std::filesystem::create_directories(store);
    FileDescriptor map = openStoreFile(store / "map", O_RDWR | O_CREAT | O_TRUNC);
    FileDescriptor data = openStoreFile(store / "data", O_RDWR | O_CREAT | O_TRUNC);
    if (!map.valid() || !data.valid() ||
        ::ftruncate(map.get(), static_cast<off_t>(snapshotMapBytes(record.length))) != 0 ||
        ::ftruncate(data.get(), static_cast<off_t>(record.length)) != 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot create snapshot store " + store.string());
    }
    records.push_back(record);
    save(records);
    HostConfig config = host_.config();
    if (config.get("snapshot", "cluster-digests").value_or("") == "yes")
        recordDigests(record);
    if (config.get("snapshot", "driver-reset-at-creation").value_or("") == "yes")
        DriverStore(host_.root()).reset();
    return record;
}

void SnapshotRegistry::remove(std::uint32_t number) {
    if (!std::filesystem::exists(dir_))
        return;
    FileLock lock(dir_ / "lock", FileLock::Mode::exclusive);
    std::vector<SnapshotRecord> records = load();
    auto gone = std::stable_partition(records.begin(), records.end(),
                                      [&](const SnapshotRecord& r) { return r.number != number; });
    for (auto it = gone; it != records.end(); ++it)
        deleteStore(*it);
    records.erase(gone, records.end());
    save(records);
    std::error_code ignored;
    std::filesystem::remove_all(storeDir(number), ignored);
}

std::vector<SnapshotRecord> SnapshotRegistry::live() const {
    if (!std::filesystem::exists(dir_ / "registry"))
        return {};
    FileLock lock(dir_ / "lock", FileLock::Mode::shared);
    std::vector<SnapshotRecord> records = load();
    std::erase_if(records, [](const SnapshotRecord& r) { return !alive(r); });
    return records;
}

std::optional<SnapshotRecord> SnapshotRegistry::find(std::uint32_t number) const {
    for (const SnapshotRecord& record : live()) {
        if (record.number == number)
            return record;
    }
    return std::nullopt;
}

}  // namespace platform::emulated
