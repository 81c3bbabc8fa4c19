// The catalogue of a store: STORE/catalogue.db, an SQLite database in WAL mode with one
// row per restore point (table points) and the store's layout version (table store).
// A point is added in one transaction after its chunks and index are on disk, and
// forgotten in one transaction; readers never see half a point. Not thread-safe; one
// object per thread.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backup-server/PointIndex.h"

namespace backup_server {

struct PointRecord {
    std::int64_t id = 0;
    std::string deviceID;
    std::int64_t created = 0;  // seconds since 1970, UTC
    std::string kind;          // full, incremental or digest-compared
    PointGeometry geometry;
    std::uint64_t usedBlocks = 0;
    std::uint64_t sentBlocks = 0;
    std::uint64_t wireBytes = 0;    // block records received
    std::uint64_t storedBytes = 0;  // chunk bytes this point added to the store
    double seconds = 0;
    std::string journalKey;  // 56 bytes
    std::string indexFile;   // below STORE/points
    Sha256Digest indexSeal{};
    std::uint32_t protocol = 1;  // the protocol version the point's blocks arrived in
};

class Catalogue {
  public:
    // Layout 2 adds the points' protocol column; a layout-1 catalogue is upgraded in place
    // when opened (its points were all received in protocol version 1).
    static constexpr int kLayout = 2;

    enum class Mode {
        // Reading only: no journal-mode change and nothing written beside the database
        // unless SQLite needs its shared-memory file. Where that file cannot be made (a
        // read-only or full file system) and no write-ahead log holds unmerged changes,
        // the database is read as an unchanging file.
        read,
        create,  // reading and writing; the catalogue is made when it does not exist
    };

    // Throws runtime::AgentException for a database of another layout or a damaged one.
    Catalogue(const std::filesystem::path& file, Mode mode);
    // A writer merges the write-ahead log into the database and empties it, so that the
    // store is whole in catalogue.db alone (for readers on read-only or full media).
    ~Catalogue();
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // Points in ascending id (which is the order they were made), of one device or all.
    std::vector<PointRecord> points(const std::optional<std::string>& deviceID = std::nullopt);
    std::optional<PointRecord> latest(const std::string& deviceID);
    std::optional<PointRecord> point(std::int64_t id);
    // Adds a point in its own transaction; returns its id.
    std::int64_t addPoint(const PointRecord& point);
    // Removes the points in one transaction.
    void removePoints(const std::vector<std::int64_t>& ids);

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    void execute(const char* sql);
    void createSchema();
    void open(const std::string& name, int flags);
    // The layout recorded in the catalogue; the SQLite status when it cannot be read.
    int readLayout(std::string& layout);
    void checkLayout(const std::string& layout);
    void upgradeFromLayout1();
    std::vector<PointRecord> query(const std::string& where, std::int64_t number,
                                   const std::string* text);

    std::filesystem::path file_;
    std::unique_ptr<sqlite3, Closer> db_;
    bool writer_ = false;
    // False for a layout-1 catalogue read where it cannot be upgraded (read-only media).
    bool protocolColumn_ = true;
};

}  // namespace backup_server
