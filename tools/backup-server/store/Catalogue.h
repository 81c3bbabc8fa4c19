// The catalogue of a store: STORE/catalogue.db, an SQLite database in WAL mode with one
// row per restore point (table points), the agents whose points the store keeps, each
// pinned to its key (table agents), the partition-table generations (table
// partition_tables) and the store's layout version (table store). A point is added in one
// transaction after its chunks and index are on disk, and forgotten in one transaction;
// readers never see half a point. Not thread-safe; one object per thread.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backup-server/store/PointIndex.h"

namespace backup_server {

// The agent the points of a layout-1 or layout-2 store are attributed to: those stores
// did not record which machine a point came from. It has no key until a backup or
// `trust` names it.
inline constexpr const char* kLegacyAgent = "legacy";

struct PointRecord {
    std::int64_t id = 0;
    std::string agent;  // the name the operator gave the agent it came from
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

struct AgentRecord {
    std::string name;
    std::string fingerprint;  // hex SHA-256 of its public key; empty: not pinned yet
    std::int64_t firstSeen = 0;
};

// One generation of a disk's partition table (its file below STORE/tables).
struct PartitionTableRecord {
    std::int64_t id = 0;
    std::string agent;
    std::string diskID;  // "Disk N"
    std::int64_t created = 0;
    std::string file;
};

// What pinning an agent's key found.
enum class AgentKeyCheck {
    pinned,    // the name was new (or had no key yet) and is now pinned to this key
    matches,   // the name is pinned to this key
    mismatch,  // the name is pinned to another key; nothing was changed
};

class Catalogue {
  public:
    // Layout 2 added the points' protocol column, layout 3 the agents and partition-table
    // generations. Older catalogues are upgraded in place when a writer opens them (their
    // points belong to kLegacyAgent, in protocol version 1 for layout 1) and read as they
    // are by a reader.
    static constexpr int kLayout = 3;

    enum class Mode {
        // Reading only: no journal-mode change and nothing written beside the database
        // unless SQLite needs its shared-memory file. Where that file cannot be made (a
        // read-only or full file system) and no write-ahead log holds unmerged changes,
        // the database is read as an unchanging file.
        read,
        write,   // reading and writing an existing catalogue
        create,  // a new catalogue (the file must not exist)
    };

    // Throws StoreError for a database of another layout or a damaged one.
    Catalogue(const std::filesystem::path& file, Mode mode);
    // A writer merges the write-ahead log into the database and empties it, so that the
    // store is whole in catalogue.db alone (for readers on read-only or full media).
    ~Catalogue();
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // Points in ascending id (which is the order they were made), of one agent and device,
    // of either, or all.
    std::vector<PointRecord> points(const std::optional<std::string>& agent = std::nullopt,
                                    const std::optional<std::string>& deviceID = std::nullopt);
    std::optional<PointRecord> latest(const std::string& agent, const std::string& deviceID);
    std::optional<PointRecord> point(std::int64_t id);
    // Adds a point in its own transaction; returns its id.
    std::int64_t addPoint(const PointRecord& point);
    // Removes the points in one transaction.
    void removePoints(const std::vector<std::int64_t>& ids);

    // The agents, by name (for an old catalogue: kLegacyAgent when it holds points).
    std::vector<AgentRecord> agents();
    std::optional<AgentRecord> agent(const std::string& name);
    // Pins name to fingerprint on first contact; a name pinned to another key is left alone.
    AgentKeyCheck pinAgent(const std::string& name, const std::string& fingerprint);
    // Pins name to fingerprint whatever it was pinned to (the operator accepted a new key).
    void trustAgent(const std::string& name, const std::string& fingerprint);

    // Partition-table generations in ascending id, of one agent and disk, of either, or all.
    std::vector<PartitionTableRecord> partitionTables(
        const std::optional<std::string>& agent = std::nullopt,
        const std::optional<std::string>& diskID = std::nullopt);
    std::int64_t addPartitionTable(const PartitionTableRecord& table);
    void removePartitionTables(const std::vector<std::int64_t>& ids);
    // Whether this catalogue records partition-table generations (an old one read as it
    // is does not).
    bool hasPartitionTables() const { return layout_ >= 3; }

    // Rows changed through this connection since it was opened.
    std::int64_t changes() const;
    // Writes a consistent copy of the whole database to file (which must not exist), with
    // SQLite's online backup. Throws StoreError when it cannot.
    void copyTo(const std::filesystem::path& file) const;

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    class Transaction;
    class Query;
    void execute(const char* sql);
    void createSchema();
    void open(const std::string& name, int flags);
    // The layout recorded in the catalogue; the SQLite status when it cannot be read.
    int readLayout(std::string& layout);
    void checkLayout(const std::string& layout);
    void upgrade();
    std::vector<PointRecord> queryPoints(const std::string& where,
                                         const std::vector<std::string>& texts,
                                         std::optional<std::int64_t> id = std::nullopt);
    void writeFingerprint(const std::string& name, const std::string& fingerprint);
    void removeRows(const char* sql, const std::vector<std::int64_t>& ids);

    std::filesystem::path file_;
    std::unique_ptr<sqlite3, Closer> db_;
    bool writer_ = false;
    int layout_ = kLayout;  // an older one only where a reader reads it as it is
};

}  // namespace backup_server
