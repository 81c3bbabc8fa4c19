#include "platform/emulated/driver/ControlDevice.h"

#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/Errors.h"
#include "platform/System.h"
#include "platform/emulated/driver/DriverStore.h"

namespace platform::emulated {
namespace {

constexpr std::uint32_t kStateAndCountSize = 4;

void appendUtf16(std::vector<std::uint8_t>& out, char32_t codePoint) {
    auto unit = [&out](std::uint32_t value) {
        out.push_back(static_cast<std::uint8_t>(value));
        out.push_back(static_cast<std::uint8_t>(value >> 8));
    };
    if (codePoint >= 0x10000 && codePoint <= 0x10FFFF) {
        codePoint -= 0x10000;
        unit(0xD800 + (codePoint >> 10));
        unit(0xDC00 + (codePoint & 0x3FF));
    } else {
        unit(codePoint > 0x10FFFF ? 0xFFFD : codePoint);
    }
}

bool writeWord(std::uint32_t value, void* out, std::uint32_t outSize, std::uint32_t* returned) {
    if (out == nullptr || outSize < kStateAndCountSize) {
        setLastError(kErrorInsufficientBuffer);
        return false;
    }
    auto* bytes = static_cast<std::uint8_t*>(out);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    *returned = kStateAndCountSize;
    return true;
}

// The drive letter that host.conf's [letters] section gives the volume, if any.
std::optional<wchar_t> driveLetterOf(Host& host, const std::wstring& guidPath) {
    HostConfig config = host.config();
    std::string wanted = toNarrow(guidPath);
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        auto value = config.get("letters", std::string(1, letter));
        if (value && *value == wanted)
            return static_cast<wchar_t>(letter);
    }
    return std::nullopt;
}

class DriverControlFile : public OpenFile {
  public:
    explicit DriverControlFile(Host& host) : host_(host), store_(host.root()) {}

    bool read(void*, std::uint32_t, std::uint32_t*) override { return invalidFunction(); }
    bool write(const void*, std::uint32_t, std::uint32_t*) override { return invalidFunction(); }
    bool seek(std::int64_t, std::uint32_t, std::uint64_t*) override { return invalidFunction(); }

    bool ioControl(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                   std::uint32_t outSize, std::uint32_t* returned) override {
        *returned = 0;
        try {
            return dispatch(code, in, inSize, out, outSize, returned);
        } catch (const std::exception&) {
            // The driver's files could not be read or written.
            setLastError(kErrorIoDevice);
            return false;
        }
    }

  private:
    static bool invalidFunction() {
        setLastError(kErrorInvalidFunction);
        return false;
    }

    bool dispatch(std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                  std::uint32_t outSize, std::uint32_t* returned) {
        switch (code) {
            case kDriverIoctlGetPendingCount: {
                std::uint64_t pending = store_.pendingCount();
                return writeWord(
                    pending > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(pending), out,
                    outSize, returned);
            }
            case kDriverIoctlGetState:
                return writeWord(store_.state(), out, outSize, returned);
            case kDriverIoctlSetState:
                return setState(in, inSize);
            case kDriverIoctlReadChanges:
                return readChanges(out, outSize, returned);
            case kDriverIoctlGetVolumeNames:
                return volumeNames(in, inSize, out, outSize, returned);
            default:
                return invalidFunction();
        }
    }

    bool setState(const void* in, std::uint32_t inSize) {
        if (in == nullptr || inSize < kStateAndCountSize || loadLittleU32(in) > 1) {
            setLastError(kErrorInvalidParameter);
            return false;
        }
        store_.setState(loadLittleU32(in));
        return true;
    }

    bool readChanges(void* out, std::uint32_t outSize, std::uint32_t* returned) {
        if (out == nullptr && outSize > 0) {
            setLastError(kErrorInvalidParameter);
            return false;
        }
        std::vector<DriverRecord> records = store_.take(outSize / kDriverRecordSize);
        auto* bytes = static_cast<std::uint8_t*>(out);
        for (std::size_t i = 0; i < records.size(); ++i)
            encodeDriverRecord(records[i], bytes + i * kDriverRecordSize);
        *returned = static_cast<std::uint32_t>(records.size() * kDriverRecordSize);
        return true;
    }

    bool volumeNames(const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                     std::uint32_t* returned) {
        std::optional<std::wstring> guidPath;
        if (in != nullptr && inSize >= kStateAndCountSize)
            guidPath = store_.volumeGuidPath(loadLittleU32(in));
        if (!guidPath) {
            setLastError(kErrorInvalidParameter);
            return false;
        }
        std::vector<std::wstring> names{*guidPath};
        if (auto letter = driveLetterOf(host_, *guidPath))
            names.push_back(std::wstring(1, *letter) + L":\\");
        std::vector<std::uint8_t> text = encodeVolumeNames(names);
        if (out == nullptr || outSize < text.size()) {
            setLastError(kErrorInsufficientBuffer);
            return false;
        }
        std::memcpy(out, text.data(), text.size());
        *returned = static_cast<std::uint32_t>(text.size());
        return true;
    }

    Host& host_;
    DriverStore store_;
};

}  // namespace

std::vector<std::uint8_t> encodeVolumeNames(const std::vector<std::wstring>& names) {
    std::vector<std::uint8_t> text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            appendUtf16(text, U';');
        for (wchar_t c : names[i])
            appendUtf16(text, static_cast<char32_t>(c));
    }
    appendUtf16(text, 0);
    return text;
}

std::unique_ptr<OpenFile> openDriverControlDevice(Host& host) {
    if (!DriverStore(host.root()).installed()) {
        setLastError(kErrorFileNotFound);
        return nullptr;
    }
    return std::make_unique<DriverControlFile>(host);
}

}  // namespace platform::emulated
