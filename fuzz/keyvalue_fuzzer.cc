// fuzz-libs: util
// Arbitrary bytes as a key-value record, at an arbitrary offset. A record that parses must
// serialise to exactly the bytes it was read from unless it repeated a key or carried a flag
// byte other than 0 or 1 (both normalised on the way back); in every case the re-serialised
// record must parse again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "util/KeyValueMap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 1u << 20)
        return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    std::uint32_t offset = data[0] % 8;
    const std::uint32_t start = offset;
    util::KeyValueMap map;
    if (!map.deserialize(bytes, &offset, static_cast<std::uint32_t>(size))) {
        if (!map.empty() || offset != start)
            std::abort();
        return 0;
    }
    if (offset > size)
        std::abort();
    auto again = map.toBytes();
    if (!again || again->size() != map.serializedSize())
        std::abort();
    util::KeyValueMap copy;
    if (!copy.fromBytes(*again) || copy.toBytes() != again)
        std::abort();
    return 0;
}
