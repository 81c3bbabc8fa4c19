#include "platform/emulated/driver/DriverStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/ByteOrder.h"
#include "platform/System.h"
#include "platform/emulated/storage/DiskImage.h"

namespace platform::emulated {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kQueueHeaderSize = 8;
constexpr std::uint64_t kCompactAfter = std::uint64_t{1} << 20;

[[noreturn]] void fail(const std::string& what, const fs::path& path) {
    throw std::runtime_error("driver: " + what + " " + path.string() + ": " + std::strerror(errno));
}

FileDescriptor openOrCreate(const fs::path& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid())
        fail("cannot open", path);
    return fd;
}

// Holds driver/lock for one operation on the driver's files.
class DriverLock {
  public:
    explicit DriverLock(const fs::path& dir) : fd_(openOrCreate(dir / "lock")) {
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                fail("cannot lock", dir / "lock");
        }
    }
    // Closing the descriptor releases the lock.

  private:
    FileDescriptor fd_;
};

// The queue file: a header with the offset of the first pending record, then records.
class QueueFile {
  public:
    explicit QueueFile(const fs::path& path) : path_(path), fd_(openOrCreate(path)) {
        struct stat info {};
        if (::fstat(fd_.get(), &info) != 0)
            fail("cannot stat", path_);
        end_ = std::max<std::uint64_t>(static_cast<std::uint64_t>(info.st_size), kQueueHeaderSize);
        std::uint8_t header[kQueueHeaderSize] = {};
        if (static_cast<std::uint64_t>(info.st_size) >= kQueueHeaderSize)
            readAt(0, header, sizeof header);
        head_ = loadLittleEndian(header, static_cast<int>(kQueueHeaderSize));
        // A damaged header must not point outside the records or between two of them.
        if (head_ < kQueueHeaderSize || head_ > end_ ||
            (head_ - kQueueHeaderSize) % kDriverRecordSize != 0) {
            head_ = kQueueHeaderSize;
        }
        end_ -= (end_ - kQueueHeaderSize) % kDriverRecordSize;
    }

    std::uint64_t pending() const { return (end_ - head_) / kDriverRecordSize; }

    void append(const std::vector<DriverRecord>& records) {
        std::vector<std::uint8_t> bytes(records.size() * kDriverRecordSize);
        for (std::size_t i = 0; i < records.size(); ++i)
            encodeDriverRecord(records[i], &bytes[i * kDriverRecordSize]);
        writeAt(end_, bytes.data(), bytes.size());
        end_ += bytes.size();
        if (head_ == kQueueHeaderSize)
            writeHead();
    }

    std::vector<DriverRecord> read(std::uint64_t maxCount) const {
        std::uint64_t count = std::min(maxCount, pending());
        std::vector<std::uint8_t> bytes(count * kDriverRecordSize);
        readAt(head_, bytes.data(), bytes.size());
        std::vector<DriverRecord> records(count);
        for (std::uint64_t i = 0; i < count; ++i)
            records[i] = decodeDriverRecord(&bytes[i * kDriverRecordSize]);
        return records;
    }

    void consume(std::uint64_t count) {
        head_ += std::min(count, pending()) * kDriverRecordSize;
        if (head_ == end_) {
            clear();
            return;
        }
        if (head_ - kQueueHeaderSize > kCompactAfter && head_ - kQueueHeaderSize > end_ - head_)
            compact();
        writeHead();
    }

    void clear() {
        if (::ftruncate(fd_.get(), kQueueHeaderSize) != 0)
            fail("cannot truncate", path_);
        head_ = end_ = kQueueHeaderSize;
        writeHead();
    }

  private:
    // Moves the pending records to the front so the file does not grow while a reader
    // keeps up with writers but never empties the queue completely.
    void compact() {
        std::vector<std::uint8_t> rest(end_ - head_);
        readAt(head_, rest.data(), rest.size());
        writeAt(kQueueHeaderSize, rest.data(), rest.size());
        end_ = kQueueHeaderSize + rest.size();
        head_ = kQueueHeaderSize;
        if (::ftruncate(fd_.get(), static_cast<off_t>(end_)) != 0)
            fail("cannot truncate", path_);
    }

    void writeHead() {
        std::uint8_t header[kQueueHeaderSize];
        storeLittleEndian(header, head_, static_cast<int>(kQueueHeaderSize));
        writeAt(0, header, sizeof header);
    }

    void readAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) const {
        for (std::size_t done = 0; done < size;) {
            ssize_t n =
                ::pread(fd_.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail("cannot read", path_);
            done += static_cast<std::size_t>(n);
        }
    }

    void writeAt(std::uint64_t offset, const std::uint8_t* buffer, std::size_t size) {
        for (std::size_t done = 0; done < size;) {
            ssize_t n =
                ::pwrite(fd_.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail("cannot write", path_);
            done += static_cast<std::size_t>(n);
        }
    }

    fs::path path_;
    FileDescriptor fd_;
    std::uint64_t head_ = kQueueHeaderSize;
    std::uint64_t end_ = kQueueHeaderSize;
};

std::uint64_t readNumber(const fs::path& file) {
    std::ifstream in(file);
    std::uint64_t number = 0;
    if (!(in >> number))
        return 0;
    return number;
}

void writeNumber(const fs::path& file, std::uint64_t number) {
    std::ofstream out(file, std::ios::trunc);
    out << number << "\n";
    if (!out.flush())
        fail("cannot write", file);
}

std::uint32_t readState(const fs::path& file) {
    std::uint64_t state = readNumber(file);
    return state > UINT32_MAX ? 0 : static_cast<std::uint32_t>(state);
}

void writeState(const fs::path& file, std::uint32_t state) {
    writeNumber(file, state);
}

}  // namespace

void encodeDriverRecord(const DriverRecord& record, std::uint8_t* out) {
    storeLittleEndian(out, record.volumeNumber, 4);
    storeLittleEndian(out + 4, 0, 4);
    storeLittleEndian(out + 8, record.firstSector, 8);
    storeLittleEndian(out + 16, record.sectorCount, 8);
}

DriverRecord decodeDriverRecord(const std::uint8_t* in) {
    return DriverRecord{loadLittleU32(in), loadLittleU64(in + 8), loadLittleU64(in + 16)};
}

DriverStore::DriverStore(fs::path hostRoot) : dir_(std::move(hostRoot) / "driver") {}

bool DriverStore::installed() const {
    std::error_code error;
    return fs::is_directory(dir_, error);
}

void DriverStore::install() {
    fs::create_directories(dir_);
}

std::uint32_t DriverStore::state() {
    DriverLock lock(dir_);
    return readState(dir_ / "state");
}

void DriverStore::setState(std::uint32_t state) {
    DriverLock lock(dir_);
    writeState(dir_ / "state", state);
}

void DriverStore::reset() {
    DriverLock lock(dir_);
    writeState(dir_ / "state", 0);
    QueueFile(dir_ / "queue").clear();
}

std::uint64_t DriverStore::pendingCount() {
    DriverLock lock(dir_);
    return QueueFile(dir_ / "queue").pending();
}

bool DriverStore::record(const std::vector<DriverRecord>& records, std::uint64_t maxRecords) {
    DriverLock lock(dir_);
    return appendLocked(records, maxRecords);
}

std::optional<std::uint64_t> DriverStore::recordChanges(const std::vector<VolumeChange>& changes,
                                                        std::uint64_t maxRecords) {
    DriverLock lock(dir_);
    if (readState(dir_ / "state") == 0)
        return std::nullopt;
    std::vector<DriverRecord> records;
    for (const VolumeChange& change : changes) {
        records.push_back(
            {volumeNumberLocked(change.guidPath), change.firstSector, change.sectorCount});
    }
    if (!appendLocked(records, maxRecords))
        return std::nullopt;
    return readNumber(dir_ / "taken") + QueueFile(dir_ / "queue").pending();
}

std::uint64_t DriverStore::recordsTaken() {
    DriverLock lock(dir_);
    return readNumber(dir_ / "taken");
}

bool DriverStore::appendLocked(const std::vector<DriverRecord>& records, std::uint64_t maxRecords) {
    if (readState(dir_ / "state") == 0)
        return false;
    QueueFile queue(dir_ / "queue");
    if (queue.pending() + records.size() > maxRecords) {
        // Out of room: what was not handed over is lost, and the agent must learn so.
        queue.clear();
        writeState(dir_ / "state", 0);
        return false;
    }
    queue.append(records);
    return true;
}

std::vector<DriverRecord> DriverStore::take(std::uint64_t maxCount) {
    DriverLock lock(dir_);
    QueueFile queue(dir_ / "queue");
    std::vector<DriverRecord> records = queue.read(maxCount);
    if (!records.empty())
        writeNumber(dir_ / "taken", readNumber(dir_ / "taken") + records.size());
    queue.consume(records.size());
    return records;
}

std::vector<DriverRecord> DriverStore::peek(std::uint64_t maxCount) {
    DriverLock lock(dir_);
    return QueueFile(dir_ / "queue").read(maxCount);
}

std::uint32_t DriverStore::volumeNumber(const std::wstring& guidPath) {
    DriverLock lock(dir_);
    return volumeNumberLocked(guidPath);
}

std::uint32_t DriverStore::volumeNumberLocked(const std::wstring& guidPath) {
    std::string wanted = toNarrow(guidPath);
    std::ifstream in(dir_ / "volumes");
    std::uint32_t number = 0;
    std::uint32_t highest = 0;
    std::string path;
    while (in >> number >> path) {
        if (path == wanted)
            return number;
        highest = std::max(highest, number);
    }
    std::ofstream out(dir_ / "volumes", std::ios::app);
    out << highest + 1 << " " << wanted << "\n";
    if (!out.flush())
        fail("cannot write", dir_ / "volumes");
    return highest + 1;
}

std::optional<std::wstring> DriverStore::volumeGuidPath(std::uint32_t number) {
    DriverLock lock(dir_);
    std::ifstream in(dir_ / "volumes");
    std::uint32_t each = 0;
    std::string path;
    while (in >> each >> path) {
        if (each == number)
            return toWide(path);
    }
    return std::nullopt;
}

}  // namespace platform::emulated
