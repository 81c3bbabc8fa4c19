#include "backup-server/store/Catalogue.h"

#include <cstring>
#include <ctime>

#include "backup-server/store/StoreError.h"

namespace backup_server {
namespace {

const char* const kColumns =
    "id, device_id, created, kind, block_size, chunk_blocks, block_count, used_blocks, "
    "sent_blocks, wire_bytes, stored_bytes, seconds, journal_key, index_file, index_seal, "
    "protocol, agent";

std::string columnText(sqlite3_stmt* statement, int column) {
    auto text = sqlite3_column_text(statement, column);
    return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
}

std::string columnBlob(sqlite3_stmt* statement, int column) {
    auto data = static_cast<const char*>(sqlite3_column_blob(statement, column));
    int bytes = sqlite3_column_bytes(statement, column);
    return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(bytes));
}

std::uint64_t columnCount(sqlite3_stmt* statement, int column) {
    sqlite3_int64 value = sqlite3_column_int64(statement, column);
    return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

std::int64_t now() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

// "WHERE a = ? AND b = ?" for the optional values given, which are added to texts.
std::string whereOf(const char* firstColumn, const std::optional<std::string>& first,
                    const char* secondColumn, const std::optional<std::string>& second,
                    std::vector<std::string>& texts) {
    std::string where;
    for (auto [column, value] :
         {std::pair{firstColumn, &first}, std::pair{secondColumn, &second}}) {
        if (!*value)
            continue;
        where += (where.empty() ? "WHERE " : " AND ") + std::string(column) + " = ?";
        texts.push_back(**value);
    }
    return where;
}

}  // namespace

// BEGIN IMMEDIATE on construction; ROLLBACK unless commit() ran.
class Catalogue::Transaction {
  public:
    explicit Transaction(Catalogue& catalogue) : catalogue_(catalogue) {
        catalogue_.execute("BEGIN IMMEDIATE");
    }
    ~Transaction() {
        if (!committed_)
            sqlite3_exec(catalogue_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        catalogue_.execute("COMMIT");
        committed_ = true;
    }

  private:
    Catalogue& catalogue_;
    bool committed_ = false;
};

// A prepared statement; the binders count their parameters from 1.
class Catalogue::Query {
  public:
    Query(Catalogue& catalogue, const std::string& sql) : db_(catalogue.db_.get()) {
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK)
            fail();
    }
    ~Query() { sqlite3_finalize(statement_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& text(const std::string& value) {
        sqlite3_bind_text(statement_, ++bound_, value.c_str(), -1, SQLITE_TRANSIENT);
        return *this;
    }
    Query& blob(const void* data, std::size_t bytes) {
        sqlite3_bind_blob(statement_, ++bound_, data, static_cast<int>(bytes), SQLITE_TRANSIENT);
        return *this;
    }
    Query& number(std::int64_t value) {
        sqlite3_bind_int64(statement_, ++bound_, value);
        return *this;
    }
    Query& real(double value) {
        sqlite3_bind_double(statement_, ++bound_, value);
        return *this;
    }
    // True while a row is there; throws on an error.
    bool step() {
        int status = sqlite3_step(statement_);
        if (status != SQLITE_ROW && status != SQLITE_DONE)
            fail();
        return status == SQLITE_ROW;
    }
    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        bound_ = 0;
    }
    sqlite3_stmt* row() const { return statement_; }

  private:
    [[noreturn]] void fail() const {
        ZENTRAD_THROW(StoreError, std::string("Catalogue: ") + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
    int bound_ = 0;
};

void Catalogue::open(const std::string& name, int flags) {
    sqlite3* db = nullptr;
    int status = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    db_.reset(db);
    if (status != SQLITE_OK) {
        ZENTRAD_THROW(StoreError, "Cannot open the catalogue " + file_.string() + ": " +
                                      sqlite3_errstr(status));
    }
    // Backups of many agents into one store may finish together, each committing its point
    // (a synced write of a few milliseconds to seconds on a busy disk): a writer waits its
    // turn rather than fail a backup that has received everything.
    sqlite3_busy_timeout(db_.get(), 120000);
}

Catalogue::Catalogue(const std::filesystem::path& file, Mode mode) : file_(file) {
    std::string layout;
    if (mode != Mode::read) {
        open(file.string(),
             SQLITE_OPEN_READWRITE | (mode == Mode::create ? SQLITE_OPEN_CREATE : 0));
        writer_ = true;
        execute("PRAGMA journal_mode=WAL");
        execute("PRAGMA synchronous=FULL");
        if (mode == Mode::create)
            createSchema();
        readLayout(layout);
        checkLayout(layout);
        return;
    }
    open(file.string(), SQLITE_OPEN_READONLY);
    int status = readLayout(layout);
    if (status == SQLITE_OK) {
        checkLayout(layout);
        return;
    }
    // A reader needs the log's shared-memory file beside the database; on read-only media
    // or a full disk it cannot be made. Nothing can be waiting in a log that is not there,
    // so the database file alone is the whole catalogue.
    std::error_code error;
    std::filesystem::path log = file;
    log += "-wal";
    bool logEmpty =
        !std::filesystem::exists(log, error) || std::filesystem::file_size(log, error) == 0;
    int primary = status & 0xFF;
    if (!logEmpty || (primary != SQLITE_CANTOPEN && primary != SQLITE_IOERR &&
                      primary != SQLITE_READONLY && primary != SQLITE_FULL)) {
        ZENTRAD_THROW(StoreError, "Cannot read the catalogue " + file.string() + ": " +
                                      sqlite3_errmsg(db_.get()));
    }
    db_.reset();
    char* uri = sqlite3_mprintf("file:%q?immutable=1", std::filesystem::absolute(file).c_str());
    std::string name = uri != nullptr ? uri : "";
    sqlite3_free(uri);
    open(name, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (readLayout(layout) != SQLITE_OK) {
        ZENTRAD_THROW(StoreError, "Cannot read the catalogue " + file.string() + ": " +
                                      sqlite3_errmsg(db_.get()));
    }
    checkLayout(layout);
}

Catalogue::~Catalogue() {
    // Best effort: a reader or another writer still in the log keeps it, and the last
    // writer out merges it. Never waited for: a truncating checkpoint holds every other
    // writer off while it waits.
    if (writer_ && db_) {
        sqlite3_busy_timeout(db_.get(), 0);
        sqlite3_exec(db_.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    }
}

void Catalogue::execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error != nullptr ? error : "unknown error";
        sqlite3_free(error);
        ZENTRAD_THROW(StoreError,
                      "Catalogue " + file_.string() + ": " + text + " (in: " + sql + ")");
    }
}

void Catalogue::createSchema() {
    Transaction transaction(*this);
    execute("CREATE TABLE store (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
    execute(
        "CREATE TABLE points (id INTEGER PRIMARY KEY AUTOINCREMENT, "
        "device_id TEXT NOT NULL, created INTEGER NOT NULL, kind TEXT NOT NULL, "
        "block_size INTEGER NOT NULL, chunk_blocks INTEGER NOT NULL, "
        "block_count INTEGER NOT NULL, used_blocks INTEGER NOT NULL, "
        "sent_blocks INTEGER NOT NULL, wire_bytes INTEGER NOT NULL, "
        "stored_bytes INTEGER NOT NULL, seconds REAL NOT NULL, journal_key BLOB NOT NULL, "
        "index_file TEXT NOT NULL UNIQUE, index_seal BLOB NOT NULL, "
        "protocol INTEGER NOT NULL DEFAULT 1)");
    execute("CREATE INDEX points_by_device ON points (device_id, id)");
    // Layout 3 is made by the same steps as an upgrade (checkLayout), so both end alike.
    execute("INSERT INTO store (key, value) VALUES ('layout', '2')");
    transaction.commit();
}

int Catalogue::readLayout(std::string& layout) {
    sqlite3_stmt* raw = nullptr;
    int status = sqlite3_prepare_v2(db_.get(), "SELECT value FROM store WHERE key = 'layout'", -1,
                                    &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    if (status == SQLITE_ERROR)
        return SQLITE_OK;  // no such table: not a catalogue (checkLayout says so)
    if (status != SQLITE_OK)
        return sqlite3_extended_errcode(db_.get());
    status = sqlite3_step(raw);
    if (status == SQLITE_ROW)
        layout = columnText(raw, 0);
    else if (status != SQLITE_DONE)
        return sqlite3_extended_errcode(db_.get());
    return SQLITE_OK;
}

void Catalogue::checkLayout(const std::string& layout) {
    if (layout.empty())
        ZENTRAD_THROW(StoreError, file_.string() + " is not a catalogue of restore points");
    if (layout != "1" && layout != "2" && layout != std::to_string(kLayout)) {
        ZENTRAD_THROW(StoreError, "The store's catalogue has layout " + layout +
                                      "; this backup-server reads layouts 1 to " +
                                      std::to_string(kLayout) +
                                      " only: use the backup-server that wrote it");
    }
    layout_ = std::stoi(layout);
    // A writer upgrades an older catalogue in place; a reader, perhaps on read-only media,
    // reads it as it is.
    if (writer_ && layout_ < kLayout) {
        upgrade();
        layout_ = kLayout;
    }
}

void Catalogue::upgrade() {
    Transaction transaction(*this);
    if (layout_ < 2)
        execute("ALTER TABLE points ADD COLUMN protocol INTEGER NOT NULL DEFAULT 1");
    const std::string legacy = kLegacyAgent;
    const std::string agentColumn =
        "ALTER TABLE points ADD COLUMN agent TEXT NOT NULL DEFAULT '" + legacy + "'";
    execute(agentColumn.c_str());
    execute("DROP INDEX IF EXISTS points_by_device");
    execute("CREATE INDEX points_by_volume ON points (agent, device_id, id)");
    execute(
        "CREATE TABLE agents (name TEXT PRIMARY KEY, fingerprint TEXT NOT NULL, "
        "first_seen INTEGER NOT NULL)");
    execute(
        "INSERT INTO agents (name, fingerprint, first_seen) SELECT agent, '', "
        "MIN(created) FROM points GROUP BY agent");
    execute(
        "CREATE TABLE partition_tables (id INTEGER PRIMARY KEY AUTOINCREMENT, "
        "agent TEXT NOT NULL, disk_id TEXT NOT NULL, created INTEGER NOT NULL, "
        "file TEXT NOT NULL UNIQUE)");
    execute("UPDATE store SET value = '3' WHERE key = 'layout'");
    transaction.commit();
}

std::vector<PointRecord> Catalogue::queryPoints(const std::string& where,
                                                const std::vector<std::string>& texts,
                                                std::optional<std::int64_t> id) {
    // An older catalogue read as it is: its points are the legacy agent's, and a layout-1
    // catalogue's were all received in protocol version 1.
    std::string from = "points";
    if (layout_ < kLayout) {
        from = std::string("(SELECT *, '") + kLegacyAgent + "' AS agent" +
               (layout_ < 2 ? ", 1 AS protocol" : "") + " FROM points)";
    }
    Query query(*this, std::string("SELECT ") + kColumns + " FROM " + from + " " + where);
    for (const std::string& text : texts)
        query.text(text);
    if (id)
        query.number(*id);
    std::vector<PointRecord> points;
    while (query.step()) {
        sqlite3_stmt* raw = query.row();
        PointRecord point;
        point.id = sqlite3_column_int64(raw, 0);
        point.deviceID = columnText(raw, 1);
        point.created = sqlite3_column_int64(raw, 2);
        point.kind = columnText(raw, 3);
        point.geometry.blockSize = static_cast<std::uint32_t>(columnCount(raw, 4));
        point.geometry.chunkBlocks = static_cast<std::uint32_t>(columnCount(raw, 5));
        point.geometry.blockCount = columnCount(raw, 6);
        point.usedBlocks = columnCount(raw, 7);
        point.sentBlocks = columnCount(raw, 8);
        point.wireBytes = columnCount(raw, 9);
        point.storedBytes = columnCount(raw, 10);
        point.seconds = sqlite3_column_double(raw, 11);
        point.journalKey = columnBlob(raw, 12);
        point.indexFile = columnText(raw, 13);
        std::string seal = columnBlob(raw, 14);
        if (seal.size() == point.indexSeal.size())
            std::memcpy(point.indexSeal.data(), seal.data(), seal.size());
        point.protocol = static_cast<std::uint32_t>(columnCount(raw, 15));
        point.agent = columnText(raw, 16);
        points.push_back(std::move(point));
    }
    return points;
}

std::vector<PointRecord> Catalogue::points(const std::optional<std::string>& agent,
                                           const std::optional<std::string>& deviceID) {
    std::vector<std::string> texts;
    std::string where = whereOf("agent", agent, "device_id", deviceID, texts);
    return queryPoints(where + " ORDER BY id", texts);
}

std::optional<PointRecord> Catalogue::latest(const std::string& agent,
                                             const std::string& deviceID) {
    auto found = queryPoints("WHERE agent = ? AND device_id = ? ORDER BY id DESC LIMIT 1",
                             {agent, deviceID});
    return found.empty() ? std::nullopt : std::optional(found.front());
}

std::optional<PointRecord> Catalogue::point(std::int64_t id) {
    auto found = queryPoints("WHERE id = ?", {}, id);
    return found.empty() ? std::nullopt : std::optional(found.front());
}

std::int64_t Catalogue::addPoint(const PointRecord& point) {
    if (point.agent.empty())
        ZENTRAD_THROW(StoreError, "Catalogue: a point needs the agent it came from");
    Transaction transaction(*this);
    Query insert(*this, std::string("INSERT INTO points (") + (kColumns + 4) +
                            ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.text(point.deviceID).number(point.created).text(point.kind);
    insert.number(point.geometry.blockSize).number(point.geometry.chunkBlocks);
    insert.number(static_cast<std::int64_t>(point.geometry.blockCount));
    insert.number(static_cast<std::int64_t>(point.usedBlocks));
    insert.number(static_cast<std::int64_t>(point.sentBlocks));
    insert.number(static_cast<std::int64_t>(point.wireBytes));
    insert.number(static_cast<std::int64_t>(point.storedBytes));
    insert.real(point.seconds).blob(point.journalKey.data(), point.journalKey.size());
    insert.text(point.indexFile).blob(point.indexSeal.data(), point.indexSeal.size());
    insert.number(point.protocol).text(point.agent);
    insert.step();
    std::int64_t id = sqlite3_last_insert_rowid(db_.get());
    Query known(*this,
                "INSERT OR IGNORE INTO agents (name, fingerprint, first_seen) VALUES (?, '', ?)");
    known.text(point.agent).number(point.created);
    known.step();
    transaction.commit();
    return id;
}

void Catalogue::removeRows(const char* sql, const std::vector<std::int64_t>& ids) {
    Transaction transaction(*this);
    Query remove(*this, sql);
    for (std::int64_t id : ids) {
        remove.reset();
        remove.number(id);
        remove.step();
    }
    transaction.commit();
}

void Catalogue::removePoints(const std::vector<std::int64_t>& ids) {
    removeRows("DELETE FROM points WHERE id = ?", ids);
}

std::vector<AgentRecord> Catalogue::agents() {
    std::vector<AgentRecord> agents;
    if (layout_ < kLayout) {
        auto points = queryPoints("ORDER BY id LIMIT 1", {});
        if (!points.empty())
            agents.push_back({kLegacyAgent, "", points.front().created});
        return agents;
    }
    Query query(*this, "SELECT name, fingerprint, first_seen FROM agents ORDER BY name");
    while (query.step())
        agents.push_back({columnText(query.row(), 0), columnText(query.row(), 1),
                          sqlite3_column_int64(query.row(), 2)});
    return agents;
}

std::optional<AgentRecord> Catalogue::agent(const std::string& name) {
    for (AgentRecord& agent : agents()) {
        if (agent.name == name)
            return std::move(agent);
    }
    return std::nullopt;
}

void Catalogue::writeFingerprint(const std::string& name, const std::string& fingerprint) {
    Query pin(*this,
              "INSERT INTO agents (name, fingerprint, first_seen) VALUES (?, ?, ?) "
              "ON CONFLICT (name) DO UPDATE SET fingerprint = excluded.fingerprint");
    pin.text(name).text(fingerprint).number(now());
    pin.step();
}

AgentKeyCheck Catalogue::pinAgent(const std::string& name, const std::string& fingerprint) {
    Transaction transaction(*this);
    Query find(*this, "SELECT fingerprint FROM agents WHERE name = ?");
    find.text(name);
    if (find.step()) {
        std::string pinned = columnText(find.row(), 0);
        if (pinned == fingerprint)
            return AgentKeyCheck::matches;
        if (!pinned.empty())
            return AgentKeyCheck::mismatch;
    }
    writeFingerprint(name, fingerprint);
    transaction.commit();
    return AgentKeyCheck::pinned;
}

void Catalogue::trustAgent(const std::string& name, const std::string& fingerprint) {
    Transaction transaction(*this);
    writeFingerprint(name, fingerprint);
    transaction.commit();
}

std::vector<PartitionTableRecord> Catalogue::partitionTables(
    const std::optional<std::string>& agent, const std::optional<std::string>& diskID) {
    std::vector<PartitionTableRecord> tables;
    if (!hasPartitionTables())
        return tables;
    std::vector<std::string> texts;
    Query query(*this, "SELECT id, agent, disk_id, created, file FROM partition_tables " +
                           whereOf("agent", agent, "disk_id", diskID, texts) + " ORDER BY id");
    for (const std::string& text : texts)
        query.text(text);
    while (query.step()) {
        sqlite3_stmt* raw = query.row();
        tables.push_back({sqlite3_column_int64(raw, 0), columnText(raw, 1), columnText(raw, 2),
                          sqlite3_column_int64(raw, 3), columnText(raw, 4)});
    }
    return tables;
}

std::int64_t Catalogue::addPartitionTable(const PartitionTableRecord& table) {
    Transaction transaction(*this);
    Query insert(
        *this, "INSERT INTO partition_tables (agent, disk_id, created, file) VALUES (?, ?, ?, ?)");
    insert.text(table.agent).text(table.diskID).number(table.created).text(table.file);
    insert.step();
    std::int64_t id = sqlite3_last_insert_rowid(db_.get());
    transaction.commit();
    return id;
}

void Catalogue::removePartitionTables(const std::vector<std::int64_t>& ids) {
    removeRows("DELETE FROM partition_tables WHERE id = ?", ids);
}

std::int64_t Catalogue::changes() const {
    return sqlite3_total_changes64(db_.get());
}

void Catalogue::copyTo(const std::filesystem::path& file) const {
    sqlite3* raw = nullptr;
    int status = sqlite3_open_v2(file.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE,
                                 nullptr);
    std::unique_ptr<sqlite3, Closer> copy(raw);
    sqlite3_backup* backup =
        status == SQLITE_OK ? sqlite3_backup_init(copy.get(), "main", db_.get(), "main") : nullptr;
    if (backup != nullptr) {
        // One step for everything: the copy is of one moment, whatever writes come later.
        sqlite3_backup_step(backup, -1);
        sqlite3_backup_finish(backup);
    }
    if (backup == nullptr || sqlite3_errcode(copy.get()) != SQLITE_OK) {
        ZENTRAD_THROW(StoreError, "Cannot copy the catalogue to " + file.string() + ": " +
                                      (copy ? sqlite3_errmsg(copy.get()) : "cannot create it"));
    }
}

}  // namespace backup_server
