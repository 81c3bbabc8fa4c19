#include "backup-server/store/CatalogueCopies.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "backup-server/store/StoreError.h"
#include "util/FileUtil.h"

namespace backup_server {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kGenerationDigits = 12;

// A file of this machine removed when it goes out of scope.
class ScratchFile {
  public:
    ScratchFile(const fs::path& folder, const std::string& stem)
        : path_(folder / (stem + "-" + std::to_string(::getpid()) + ".db")) {
        std::error_code error;
        fs::create_directories(folder, error);
        fs::remove(path_, error);
    }
    ~ScratchFile() {
        std::error_code error;
        fs::remove(path_, error);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

std::string readWhole(const fs::path& file) {
    return util::files::readFile(file, objects::kMaxGetBytes);
}

}  // namespace

std::string catalogueCopyKey(std::uint64_t generation) {
    char digits[kGenerationDigits + 1];
    std::snprintf(digits, sizeof digits, "%012llu", static_cast<unsigned long long>(generation));
    return std::string(kCatalogueCopies) + digits + ".db";
}

std::vector<std::uint64_t> catalogueGenerations(objects::BlobStore& objects) {
    std::vector<std::uint64_t> generations;
    objects.list(kCatalogueCopies, [&](const objects::BlobInfo& info) {
        std::string name = info.key.substr(std::string_view(kCatalogueCopies).size());
        if (name.size() != kGenerationDigits + 3 || !name.ends_with(".db"))
            return;
        std::uint64_t generation = 0;
        for (std::size_t i = 0; i < kGenerationDigits; ++i) {
            if (name[i] < '0' || name[i] > '9')
                return;
            generation = generation * 10 + static_cast<std::uint64_t>(name[i] - '0');
        }
        generations.push_back(generation);
    });
    std::sort(generations.rbegin(), generations.rend());
    return generations;
}

std::uint64_t uploadCatalogueCopy(const Catalogue& catalogue, objects::BlobStore& objects,
                                  const StoreCipher& cipher, const fs::path& scratch) {
    std::vector<std::uint64_t> generations = catalogueGenerations(objects);
    std::uint64_t generation = generations.empty() ? 1 : generations.front() + 1;
    std::string key = catalogueCopyKey(generation);
    {
        ScratchFile copy(scratch, "catalogue-copy");
        catalogue.copyTo(copy.path());
        objects.put(key, cipher.seal(SealedKind::catalogue, key, readWhole(copy.path())));
    }
    objects.sync();
    // The newest two stay: the one just made and the one before it.
    for (std::size_t i = 1; i < generations.size(); ++i)
        objects.remove(catalogueCopyKey(generations[i]));
    return generation;
}

CatalogueRebuild rebuildCatalogueFile(objects::BlobStore& objects, const StoreCipher& cipher,
                                      const fs::path& file) {
    CatalogueRebuild rebuild;
    std::vector<std::uint64_t> generations = catalogueGenerations(objects);
    if (generations.empty()) {
        ZENTRAD_THROW(StoreError, "The bucket " + objects.name() +
                                      " holds no copy of a catalogue (" + kCatalogueCopies +
                                      "); is it a store made by init?");
    }
    fs::path partial = file;
    partial += ".part";
    for (std::uint64_t generation : generations) {
        std::string key = catalogueCopyKey(generation);
        try {
            std::string problem;
            std::unique_ptr<ObjectReader> reader =
                cipher.openObject(objects, key, SealedKind::catalogue, key, problem);
            if (!reader || reader->size() > objects::kMaxGetBytes) {
                rebuild.skipped.push_back(key + ": " + (reader ? "too large" : problem));
                continue;
            }
            std::string bytes(static_cast<std::size_t>(reader->size()), '\0');
            if (!reader->read(0, bytes.data(), bytes.size(), problem)) {
                rebuild.skipped.push_back(key + ": " + problem);
                continue;
            }
            util::files::writeFileAtomically(partial, bytes);
            Catalogue check(partial, Catalogue::Mode::read);
            for (const PointRecord& point : check.points()) {
                ++rebuild.points;
                if (!objects.head("points/" + point.indexFile))
                    rebuild.pointsWithoutIndex.push_back(point.id);
            }
        } catch (const std::exception& error) {
            // A copy that cannot be fetched or opened (StoreError, objects::BlobError) is
            // skipped for an older one.
            std::error_code ignored;
            fs::remove(partial, ignored);
            rebuild.skipped.push_back(key + ": " + operatorMessage(error));
            rebuild.points = 0;
            rebuild.pointsWithoutIndex.clear();
            continue;
        }
        fs::rename(partial, file);
        rebuild.generation = generation;
        return rebuild;
    }
    std::string why;
    for (const std::string& skipped : rebuild.skipped)
        why += "\n  " + skipped;
    ZENTRAD_THROW(StoreError, "No copy of the catalogue in " + objects.name() + " opens:" + why);
}

}  // namespace backup_server
