// Copies of an object store's catalogue kept in its bucket, so that a lost server machine
// can be rebuilt from the bucket alone (backup-server rebuild-catalogue):
//
//   catalogue/NNNNNNNNNNNN.db   a whole SQLite database, NNNNNNNNNNNN its generation (12
//                               decimal digits, one more than the newest before it); in an
//                               encrypted store sealed under its key (SealedFile.h, kind 3)
//
// Objects are written once: each copy takes a new generation, then all but the newest two
// are removed (the older one is kept for a copy cut short or damaged on its way).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "backup-server/objects/BlobStore.h"
#include "backup-server/store/Catalogue.h"
#include "backup-server/store/StoreCipher.h"

namespace backup_server {

inline constexpr const char* kCatalogueCopies = "catalogue/";

// The generations of the copies in the bucket, newest first.
std::vector<std::uint64_t> catalogueGenerations(objects::BlobStore& objects);
std::string catalogueCopyKey(std::uint64_t generation);
// Copies the catalogue into scratch (a folder of this machine), seals and uploads it under
// a new generation, then removes older copies beyond the newest two. Returns the
// generation. Throws objects::BlobError or StoreError.
std::uint64_t uploadCatalogueCopy(const Catalogue& catalogue, objects::BlobStore& objects,
                                  const StoreCipher& cipher, const std::filesystem::path& scratch);

struct CatalogueRebuild {
    std::uint64_t generation = 0;
    std::vector<std::string> skipped;  // newer copies that did not open, and why
    std::uint64_t points = 0;
    std::vector<std::int64_t> pointsWithoutIndex;  // ids whose index is not in the bucket
};

// Writes file (which must not exist) from the newest copy in the bucket that opens as a
// catalogue, and checks its points against the bucket. Throws StoreError
// when no copy opens.
CatalogueRebuild rebuildCatalogueFile(objects::BlobStore& objects, const StoreCipher& cipher,
                                      const std::filesystem::path& file);

}  // namespace backup_server
