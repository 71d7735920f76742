#include "mount/state_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/private_folder.h"

namespace tw::mount {

namespace {

namespace fs = std::filesystem;

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && fs::path(home).is_absolute()) return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    throw std::runtime_error("no home folder: set HOME");
}

fs::path xdgFolder(const char* variable, const fs::path& fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && fs::path(value).is_absolute())
        return fs::path(value) / "tidewright";
    return homeFolder() / fallbackUnderHome / "tidewright";
}

constexpr const char* schema = R"(
    CREATE TABLE IF NOT EXISTS anchor (
        id INTEGER PRIMARY KEY CHECK (id = 1),
        value BLOB NOT NULL
    );
    CREATE TABLE IF NOT EXISTS records (
        identifier BLOB PRIMARY KEY,
        parent BLOB NOT NULL,
        name BLOB NOT NULL,
        is_folder INTEGER NOT NULL,
        size INTEGER NOT NULL,
        created REAL,
        modified REAL,
        content_version BLOB NOT NULL,
        metadata_version BLOB NOT NULL
    );
    CREATE TABLE IF NOT EXISTS pending_changes (
        identifier BLOB PRIMARY KEY,
        fields INTEGER NOT NULL,
        base_content_version BLOB NOT NULL,
        base_metadata_version BLOB NOT NULL
    );
)";

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) fail();
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Strings are bound as blobs: identifiers, names and versions are bytes, NUL included.
    Statement& bind(int index, const std::string& bytes) {
        // A null pointer would bind SQL NULL; an empty string is a value.
        const char* data = bytes.empty() ? "" : bytes.data();
        return check(sqlite3_bind_blob64(statement_, index, data, bytes.size(), SQLITE_TRANSIENT));
    }
    Statement& bind(int index, std::int64_t value) {
        return check(sqlite3_bind_int64(statement_, index, value));
    }
    Statement& bind(int index, const std::optional<host::Date>& date) {
        return check(date ? sqlite3_bind_double(statement_, index, date->secondsSince1970)
                          : sqlite3_bind_null(statement_, index));
    }

    bool step() {
        const int code = sqlite3_step(statement_);
        if (code == SQLITE_ROW) return true;
        if (code != SQLITE_DONE) fail();
        return false;
    }
    void run() {
        step();
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

    std::string bytes(int column) const {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
        return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                    : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::optional<host::Date> date(int column) const {
        if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
        return host::Date{sqlite3_column_double(statement_, column)};
    }

private:
    Statement& check(int code) {
        if (code != SQLITE_OK) fail();
        return *this;
    }
    [[noreturn]] void fail() const {
        throw std::runtime_error(std::string("state database: ") + sqlite3_errmsg(db_));
    }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

fs::path stateFolder() {
    return xdgFolder("XDG_STATE_HOME", fs::path(".local") / "state");
}

fs::path cacheFolder() {
    return xdgFolder("XDG_CACHE_HOME", ".cache");
}

struct StateStore::Database {
    std::mutex mutex;
    sqlite3* db = nullptr;
    fs::path file;

    ~Database() { sqlite3_close(db); }

    void exec(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message ? message : sqlite3_errmsg(db);
            sqlite3_free(message);
            throw std::runtime_error("state database " + file.string() + ": " + text);
        }
    }

    // Runs `body` in one write transaction; a failure rolls it back and is thrown on.
    template <typename Body>
    void transaction(Body&& body) {
        exec("BEGIN IMMEDIATE");
        try {
            body();
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
};

StateStore::StateStore(const std::filesystem::path& file) : database_(std::make_unique<Database>()) {
    database_->file = file;
    if (file.has_parent_path()) makePrivateFolder(file.parent_path());
    // Made here rather than by SQLite so that it is never readable by others, not even for a moment; SQLite
    // gives its -wal and -shm files the mode of the database.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
    ::fchmod(fd, 0600);  // a file made earlier with a wider mode is narrowed too
    ::close(fd);
    if (sqlite3_open_v2(file.c_str(), &database_->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        const std::string text = database_->db ? sqlite3_errmsg(database_->db) : "out of memory";
        throw std::runtime_error("state database " + file.string() + ": " + text);
    }
    sqlite3_busy_timeout(database_->db, 5000);
    database_->exec("PRAGMA journal_mode = WAL");
    database_->exec("PRAGMA synchronous = NORMAL");
    database_->exec(schema);
}

StateStore::~StateStore() = default;

StateStore::Snapshot StateStore::load() {
    std::scoped_lock lock(database_->mutex);
    Snapshot snapshot;
    Statement anchor(database_->db, "SELECT value FROM anchor WHERE id = 1");
    if (anchor.step()) snapshot.anchor = anchor.bytes(0);
    Statement records(database_->db,
                      "SELECT identifier, parent, name, is_folder, size, created, modified, content_version, "
                      "metadata_version FROM records");
    while (records.step()) {
        ItemRecord record;
        record.identifier = records.bytes(0);
        record.parent = records.bytes(1);
        record.name = records.bytes(2);
        record.isFolder = records.integer(3) != 0;
        record.size = records.integer(4);
        record.created = records.date(5);
        record.modified = records.date(6);
        record.version = {records.bytes(7), records.bytes(8)};
        snapshot.records.push_back(std::move(record));
    }
    return snapshot;
}

void StateStore::save(const host::SyncAnchor& anchor, const std::vector<ItemRecord>& updated,
                      const std::vector<host::ItemIdentifier>& removed) {
    std::scoped_lock lock(database_->mutex);
    database_->transaction([&] {
        Statement write(database_->db,
                        "INSERT OR REPLACE INTO records (identifier, parent, name, is_folder, size, created, "
                        "modified, content_version, metadata_version) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        for (const auto& record : updated) {
            write.bind(1, record.identifier)
                .bind(2, record.parent)
                .bind(3, record.name)
                .bind(4, std::int64_t{record.isFolder})
                .bind(5, record.size)
                .bind(6, record.created)
                .bind(7, record.modified)
                .bind(8, record.version.contentVersion)
                .bind(9, record.version.metadataVersion)
                .run();
        }
        Statement remove(database_->db, "DELETE FROM records WHERE identifier = ?");
        for (const auto& identifier : removed)
            remove.bind(1, identifier).run();
        Statement setAnchor(database_->db, "INSERT OR REPLACE INTO anchor (id, value) VALUES (1, ?)");
        setAnchor.bind(1, anchor).run();
    });
}

void StateStore::clear() {
    std::scoped_lock lock(database_->mutex);
    database_->transaction([&] {
        database_->exec("DELETE FROM anchor");
        database_->exec("DELETE FROM records");
    });
}

std::vector<PendingChange> StateStore::pendingChanges() {
    std::scoped_lock lock(database_->mutex);
    std::vector<PendingChange> changes;
    Statement rows(
        database_->db,
        "SELECT identifier, fields, base_content_version, base_metadata_version FROM pending_changes");
    while (rows.step())
        changes.push_back({rows.bytes(0),
                           static_cast<host::ItemFieldSet>(rows.integer(1)),
                           {rows.bytes(2), rows.bytes(3)}});
    return changes;
}

void StateStore::putPendingChange(const PendingChange& change) {
    std::scoped_lock lock(database_->mutex);
    Statement(database_->db,
              "INSERT OR REPLACE INTO pending_changes (identifier, fields, base_content_version, "
              "base_metadata_version) VALUES (?, ?, ?, ?)")
        .bind(1, change.identifier)
        .bind(2, static_cast<std::int64_t>(change.fields))
        .bind(3, change.baseVersion.contentVersion)
        .bind(4, change.baseVersion.metadataVersion)
        .run();
}

void StateStore::removePendingChange(const host::ItemIdentifier& identifier) {
    std::scoped_lock lock(database_->mutex);
    Statement(database_->db, "DELETE FROM pending_changes WHERE identifier = ?").bind(1, identifier).run();
}

}  // namespace tw::mount
