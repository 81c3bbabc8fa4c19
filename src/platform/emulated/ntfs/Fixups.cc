#include "platform/emulated/ntfs/Fixups.h"

#include <cstring>

#include "platform/emulated/ntfs/ByteView.h"

namespace platform::emulated::ntfs {

namespace {
// The stride is fixed by the format, whatever the sector size.
constexpr std::size_t kStride = 512;
}  // namespace

void applyFixups(std::span<std::uint8_t> record, const char (&magic)[5], const std::string& what) {
    if (record.size() < kStride || record.size() % kStride != 0) {
        corrupt(what + ": size " + std::to_string(record.size()) + " is not a multiple of 512");
    }
    if (std::memcmp(record.data(), magic, 4) != 0) {
        corrupt(what + ": no " + magic + " signature");
    }
    ByteView view(record, what);
    std::size_t arrayOffset = view.u16(4);
    std::size_t count = view.u16(6);
    std::size_t strides = record.size() / kStride;
    if (count != strides + 1 || arrayOffset % 2 != 0 || arrayOffset < 8 ||
        !view.fits(arrayOffset, count * 2) || arrayOffset + count * 2 > kStride - 2) {
        corrupt(what + ": malformed update sequence array");
    }
    std::uint16_t sequence = view.u16(arrayOffset);
    // Check every stride before changing any, so a failure leaves the buffer as read.
    for (std::size_t i = 0; i < strides; ++i) {
        if (view.u16((i + 1) * kStride - 2) != sequence) {
            corrupt(what + ": update sequence mismatch in sector " + std::to_string(i) +
                    " (torn or damaged write)");
        }
    }
    for (std::size_t i = 0; i < strides; ++i) {
        std::memcpy(record.data() + (i + 1) * kStride - 2,
                    record.data() + arrayOffset + 2 * (i + 1), 2);
    }
}

}  // namespace platform::emulated::ntfs
