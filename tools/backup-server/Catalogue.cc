#include "backup-server/Catalogue.h"

#include <cstring>

#include "runtime/Exceptions.h"

namespace backup_server {
namespace {

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

const char* const kColumns =
    "id, device_id, created, kind, block_size, chunk_blocks, block_count, used_blocks, "
    "sent_blocks, wire_bytes, stored_bytes, seconds, journal_key, index_file, index_seal, "
    "protocol";

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

}  // namespace

void Catalogue::open(const std::string& name, int flags) {
    sqlite3* db = nullptr;
    int status = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
    db_.reset(db);
    if (status != SQLITE_OK) {
        ZENTRAD_THROW(runtime::AgentException, "Cannot open the catalogue " + file_.string() +
                                                   ": " + sqlite3_errstr(status));
    }
    sqlite3_busy_timeout(db_.get(), 10000);
}

Catalogue::Catalogue(const std::filesystem::path& file, Mode mode) : file_(file) {
    std::string layout;
    if (mode == Mode::create) {
        open(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        writer_ = true;
        execute("PRAGMA journal_mode=WAL");
        execute("PRAGMA synchronous=FULL");
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
        ZENTRAD_THROW(runtime::AgentException, "Cannot read the catalogue " + file.string() + ": " +
                                                   sqlite3_errmsg(db_.get()));
    }
    db_.reset();
    char* uri = sqlite3_mprintf("file:%q?immutable=1", std::filesystem::absolute(file).c_str());
    std::string name = uri != nullptr ? uri : "";
    sqlite3_free(uri);
    open(name, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (readLayout(layout) != SQLITE_OK) {
        ZENTRAD_THROW(runtime::AgentException, "Cannot read the catalogue " + file.string() + ": " +
                                                   sqlite3_errmsg(db_.get()));
    }
    checkLayout(layout);
}

Catalogue::~Catalogue() {
    // Best effort: a reader still in the log keeps it, and the next writer merges it.
    if (writer_ && db_)
        sqlite3_exec(db_.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
}

void Catalogue::execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error != nullptr ? error : "unknown error";
        sqlite3_free(error);
        ZENTRAD_THROW(runtime::AgentException,
                      "Catalogue " + file_.string() + ": " + text + " (in: " + sql + ")");
    }
}

void Catalogue::createSchema() {
    execute("BEGIN IMMEDIATE");
    try {
        execute("CREATE TABLE IF NOT EXISTS store (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
        execute(
            "CREATE TABLE IF NOT EXISTS points (id INTEGER PRIMARY KEY AUTOINCREMENT, "
            "device_id TEXT NOT NULL, created INTEGER NOT NULL, kind TEXT NOT NULL, "
            "block_size INTEGER NOT NULL, chunk_blocks INTEGER NOT NULL, "
            "block_count INTEGER NOT NULL, used_blocks INTEGER NOT NULL, "
            "sent_blocks INTEGER NOT NULL, wire_bytes INTEGER NOT NULL, "
            "stored_bytes INTEGER NOT NULL, seconds REAL NOT NULL, journal_key BLOB NOT NULL, "
            "index_file TEXT NOT NULL UNIQUE, index_seal BLOB NOT NULL, "
            "protocol INTEGER NOT NULL DEFAULT 1)");
        execute("CREATE INDEX IF NOT EXISTS points_by_device ON points (device_id, id)");
        execute("INSERT OR IGNORE INTO store (key, value) VALUES ('layout', '2')");
        execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

int Catalogue::readLayout(std::string& layout) {
    sqlite3_stmt* raw = nullptr;
    int status = sqlite3_prepare_v2(db_.get(), "SELECT value FROM store WHERE key = 'layout'", -1,
                                    &raw, nullptr);
    Statement statement(raw);
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
        ZENTRAD_THROW(runtime::AgentException,
                      file_.string() + " is not a catalogue of restore points");
    if (layout == "1") {
        // Its points were all received in protocol version 1. A writer upgrades it in place;
        // a reader, perhaps on read-only media, reads it as it is.
        if (writer_)
            upgradeFromLayout1();
        else
            protocolColumn_ = false;
        return;
    }
    if (layout != std::to_string(kLayout)) {
        ZENTRAD_THROW(runtime::AgentException, "The store's catalogue has layout " + layout +
                                                   "; this backup-server reads layout " +
                                                   std::to_string(kLayout) +
                                                   " only: use the backup-server that wrote it");
    }
}

void Catalogue::upgradeFromLayout1() {
    execute("BEGIN IMMEDIATE");
    try {
        execute("ALTER TABLE points ADD COLUMN protocol INTEGER NOT NULL DEFAULT 1");
        execute("UPDATE store SET value = '2' WHERE key = 'layout'");
        execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<PointRecord> Catalogue::query(const std::string& where, std::int64_t number,
                                          const std::string* text) {
    std::string columns = kColumns;
    if (!protocolColumn_)
        columns.replace(columns.rfind("protocol"), std::string("protocol").size(), "1");
    std::string sql = "SELECT " + columns + " FROM points " + where;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
        ZENTRAD_THROW(runtime::AgentException,
                      std::string("Catalogue: ") + sqlite3_errmsg(db_.get()));
    Statement statement(raw);
    if (text != nullptr)
        sqlite3_bind_text(raw, 1, text->c_str(), -1, SQLITE_TRANSIENT);
    else if (where.find('?') != std::string::npos)
        sqlite3_bind_int64(raw, 1, number);
    std::vector<PointRecord> points;
    int status;
    while ((status = sqlite3_step(raw)) == SQLITE_ROW) {
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
        points.push_back(std::move(point));
    }
    if (status != SQLITE_DONE)
        ZENTRAD_THROW(runtime::AgentException,
                      std::string("Catalogue: ") + sqlite3_errmsg(db_.get()));
    return points;
}

std::vector<PointRecord> Catalogue::points(const std::optional<std::string>& deviceID) {
    if (deviceID)
        return query("WHERE device_id = ? ORDER BY id", 0, &*deviceID);
    return query("ORDER BY id", 0, nullptr);
}

std::optional<PointRecord> Catalogue::latest(const std::string& deviceID) {
    auto found = query("WHERE device_id = ? ORDER BY id DESC LIMIT 1", 0, &deviceID);
    return found.empty() ? std::nullopt : std::optional(found.front());
}

std::optional<PointRecord> Catalogue::point(std::int64_t id) {
    auto found = query("WHERE id = ?", id, nullptr);
    return found.empty() ? std::nullopt : std::optional(found.front());
}

std::int64_t Catalogue::addPoint(const PointRecord& point) {
    std::string sql = std::string("INSERT INTO points (") + (kColumns + 4) +
                      ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
    sqlite3_stmt* raw = nullptr;
    execute("BEGIN IMMEDIATE");
    try {
        if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
            ZENTRAD_THROW(runtime::AgentException,
                          std::string("Catalogue: ") + sqlite3_errmsg(db_.get()));
        Statement statement(raw);
        sqlite3_bind_text(raw, 1, point.deviceID.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(raw, 2, point.created);
        sqlite3_bind_text(raw, 3, point.kind.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(raw, 4, point.geometry.blockSize);
        sqlite3_bind_int64(raw, 5, point.geometry.chunkBlocks);
        sqlite3_bind_int64(raw, 6, static_cast<sqlite3_int64>(point.geometry.blockCount));
        sqlite3_bind_int64(raw, 7, static_cast<sqlite3_int64>(point.usedBlocks));
        sqlite3_bind_int64(raw, 8, static_cast<sqlite3_int64>(point.sentBlocks));
        sqlite3_bind_int64(raw, 9, static_cast<sqlite3_int64>(point.wireBytes));
        sqlite3_bind_int64(raw, 10, static_cast<sqlite3_int64>(point.storedBytes));
        sqlite3_bind_double(raw, 11, point.seconds);
        sqlite3_bind_blob(raw, 12, point.journalKey.data(),
                          static_cast<int>(point.journalKey.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 13, point.indexFile.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(raw, 14, point.indexSeal.data(), static_cast<int>(point.indexSeal.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(raw, 15, point.protocol);
        if (sqlite3_step(raw) != SQLITE_DONE)
            ZENTRAD_THROW(runtime::AgentException,
                          std::string("Catalogue: ") + sqlite3_errmsg(db_.get()));
        std::int64_t id = sqlite3_last_insert_rowid(db_.get());
        statement.reset();
        execute("COMMIT");
        return id;
    } catch (...) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Catalogue::removePoints(const std::vector<std::int64_t>& ids) {
    execute("BEGIN IMMEDIATE");
    try {
        for (std::int64_t id : ids) {
            sqlite3_stmt* raw = nullptr;
            sqlite3_prepare_v2(db_.get(), "DELETE FROM points WHERE id = ?", -1, &raw, nullptr);
            Statement statement(raw);
            sqlite3_bind_int64(raw, 1, id);
            if (!statement || sqlite3_step(raw) != SQLITE_DONE)
                ZENTRAD_THROW(runtime::AgentException,
                              std::string("Catalogue: ") + sqlite3_errmsg(db_.get()));
        }
        execute("COMMIT");
    } catch (...) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace backup_server
