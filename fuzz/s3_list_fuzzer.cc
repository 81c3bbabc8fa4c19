// fuzz-libs: objects
// Arbitrary bytes as an object store's reply: a ListObjectsV2 page and an error document.
// A page that parses must keep the promises the client relies on: no more objects than were
// asked for, every key a valid key, a continuation token whenever the page says it is cut
// short; an error code is a plain word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "backup-server/objects/S3Xml.h"

using namespace backup_server::objects;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    std::size_t maxKeys = data[0] % 8 + 1;
    std::string_view xml(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        S3ListPage page = parseListPage(xml, maxKeys);
        if (page.objects.size() > maxKeys || (page.truncated && page.nextToken.empty()))
            std::abort();
        for (const BlobInfo& object : page.objects) {
            if (!validKey(object.key))
                std::abort();
        }
    } catch (const BlobError& error) {
        if (error.kind() != BlobError::Kind::invalid)
            std::abort();
    }
    std::string code = parseErrorCode(xml);
    if (code.size() > 64)
        std::abort();
    for (char c : code) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            std::abort();
    }
    return 0;
}
