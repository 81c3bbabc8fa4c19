#include "filter/SavedState.h"

#include <cstring>
#include <iomanip>
#include <sstream>

#include "platform/ByteOrder.h"
#include "platform/GptFormat.h"
#include "platform/System.h"

namespace filter {
namespace {

constexpr char kStateMagic[8] = {'Z', 'T', 'R', 'K', 'S', 'T', '0', '1'};
constexpr char kMapMagic[8] = {'Z', 'T', 'R', 'K', 'M', 'A', 'P', '1'};
constexpr std::size_t kMostNameBytes = 4096;

void put(std::string& out, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
}

void sealWithCrc(std::string& out) {
    put(out, platform::gpt::crc32(out.data(), out.size()), 4);
}

// Reads fields front to back; any read past the end makes the whole decode fail.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool take(std::uint64_t& value, int size) {
        if (remaining() < static_cast<std::size_t>(size))
            return false;
        value = platform::loadLittleEndian(bytes_.data() + at_, size);
        at_ += size;
        return true;
    }
    bool take(std::string_view& out, std::uint64_t size) {
        if (remaining() < size)
            return false;
        out = bytes_.substr(at_, size);
        at_ += size;
        return true;
    }
    std::size_t remaining() const { return bytes_.size() - at_; }

  private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// The bytes before the CRC, when the magic and the CRC are right.
std::optional<std::string_view> sealedBody(std::string_view bytes, const char (&magic)[8]) {
    if (bytes.size() < sizeof magic + 4 || std::memcmp(bytes.data(), magic, sizeof magic) != 0)
        return std::nullopt;
    std::string_view body = bytes.substr(0, bytes.size() - 4);
    std::uint64_t stored = 0;
    Reader crc(bytes.substr(body.size()));
    crc.take(stored, 4);
    if (platform::gpt::crc32(body.data(), body.size()) != stored)
        return std::nullopt;
    return body.substr(sizeof magic);
}

bool takeKey(Reader& in, JournalKey& key) {
    std::string_view bytes;
    if (!in.take(bytes, key.size()))
        return false;
    std::memcpy(key.data(), bytes.data(), key.size());
    return true;
}

}  // namespace

std::string encodeSavedVolumes(const std::vector<SavedVolume>& volumes) {
    std::string out(kStateMagic, sizeof kStateMagic);
    put(out, volumes.size(), 4);
    for (const SavedVolume& volume : volumes) {
        std::string name = platform::toNarrow(volume.name);
        put(out, name.size(), 4);
        out += name;
        put(out, volume.volumeNumber ? 1 : 0, 1);
        put(out, volume.volumeNumber.value_or(0), 4);
        put(out, volume.sectorsPerBlock, 4);
        out.append(volume.journalKey.begin(), volume.journalKey.end());
        put(out, volume.changes.runs().size(), 8);
        for (const auto& [first, count] : volume.changes.runs()) {
            put(out, first, 8);
            put(out, count, 8);
        }
    }
    sealWithCrc(out);
    return out;
}

std::optional<std::vector<SavedVolume>> decodeSavedVolumes(std::string_view bytes) {
    std::optional<std::string_view> body = sealedBody(bytes, kStateMagic);
    if (!body)
        return std::nullopt;
    Reader in(*body);
    std::uint64_t count = 0;
    if (!in.take(count, 4))
        return std::nullopt;
    std::vector<SavedVolume> volumes;
    for (std::uint64_t i = 0; i < count; ++i) {
        SavedVolume volume;
        std::uint64_t nameSize = 0, numbered = 0, number = 0, sectors = 0, runs = 0;
        std::string_view name;
        if (!in.take(nameSize, 4) || nameSize == 0 || nameSize > kMostNameBytes ||
            !in.take(name, nameSize) || !in.take(numbered, 1) || numbered > 1 ||
            !in.take(number, 4) || !in.take(sectors, 4) || sectors == 0 ||
            !takeKey(in, volume.journalKey) || !in.take(runs, 8) || runs > in.remaining() / 16) {
            return std::nullopt;
        }
        volume.name = platform::toWide(std::string(name));
        if (numbered == 1)
            volume.volumeNumber = static_cast<std::uint32_t>(number);
        volume.sectorsPerBlock = static_cast<std::uint32_t>(sectors);
        for (std::uint64_t r = 0; r < runs; ++r) {
            std::uint64_t first = 0, length = 0;
            in.take(first, 8);
            in.take(length, 8);
            if (length == 0)
                return std::nullopt;
            volume.changes.setRange(first, length);
        }
        volumes.push_back(std::move(volume));
    }
    if (in.remaining() != 0)
        return std::nullopt;
    return volumes;
}

std::string encodeBackedUpMap(const BackedUpMap& map) {
    std::string out(kMapMagic, sizeof kMapMagic);
    out.append(map.journalKey.begin(), map.journalKey.end());
    put(out, map.blockCount, 8);
    out += map.bits;
    sealWithCrc(out);
    return out;
}

std::optional<BackedUpMap> decodeBackedUpMap(std::string_view bytes) {
    std::optional<std::string_view> body = sealedBody(bytes, kMapMagic);
    if (!body)
        return std::nullopt;
    Reader in(*body);
    BackedUpMap map;
    std::string_view bits;
    if (!takeKey(in, map.journalKey) || !in.take(map.blockCount, 8) ||
        map.blockCount > std::uint64_t{8} * in.remaining() ||
        (map.blockCount + 7) / 8 != in.remaining() || !in.take(bits, in.remaining())) {
        return std::nullopt;
    }
    map.bits = std::string(bits);
    return map;
}

std::filesystem::path backedUpMapPath(const std::filesystem::path& folder,
                                      const std::wstring& volumeName) {
    std::ostringstream name;
    name << std::hex << std::setfill('0');
    for (wchar_t unit : volumeName)
        name << std::setw(4) << (static_cast<std::uint32_t>(unit) & 0xFFFF);
    return folder / (name.str() + ".map");
}

}  // namespace filter
