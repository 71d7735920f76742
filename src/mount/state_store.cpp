#include "mount/state_store.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "platform/private_folder.h"
#include "platform/sqlite.h"

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
    CREATE TABLE IF NOT EXISTS listings (
        folder BLOB PRIMARY KEY
    );
    DROP TABLE IF EXISTS pending_changes;
    CREATE TABLE IF NOT EXISTS journal (
        identifier BLOB PRIMARY KEY,
        cache_identity BLOB NOT NULL,
        parent BLOB NOT NULL,
        name BLOB NOT NULL,
        base_content_version BLOB NOT NULL,
        base_metadata_version BLOB NOT NULL,
        modified REAL,
        attempts INTEGER NOT NULL,
        last_error TEXT NOT NULL,
        local_only INTEGER NOT NULL,
        is_link INTEGER NOT NULL DEFAULT 0
    );
    CREATE TABLE IF NOT EXISTS pins (
        identifier BLOB PRIMARY KEY
    );
)";

// Identifiers, names and versions are bytes, NUL included: they are bound and read as blobs.
void bindDate(sqlite::Statement& statement, int index, const std::optional<host::Date>& date) {
    if (date)
        statement.bindReal(index, date->secondsSince1970);
    else
        statement.bindNull(index);
}

std::optional<host::Date> dateAt(const sqlite::Statement& statement, int column) {
    if (statement.isNull(column)) return std::nullopt;
    return host::Date{statement.real(column)};
}

}  // namespace

fs::path stateFolder() {
    return xdgFolder("XDG_STATE_HOME", fs::path(".local") / "state");
}

fs::path cacheFolder() {
    return xdgFolder("XDG_CACHE_HOME", ".cache");
}

struct StateStore::Database {
    explicit Database(const fs::path& file) : db(file) {}

    std::mutex mutex;
    sqlite::Database db;
};

StateStore::StateStore(const std::filesystem::path& file) {
    if (file.has_parent_path()) makePrivateFolder(file.parent_path());
    database_ = std::make_unique<Database>(file);  // the file 0600, WAL, a busy timeout
    // A journal row committed is a promise to a program whose close() returned: it must survive a power cut.
    database_->db.exec("PRAGMA synchronous = FULL");
    database_->db.exec(schema);
    // A journal written before symbolic links were kept has no column for them.
    sqlite::Statement linkColumn(database_->db,
                                 "SELECT COUNT(*) FROM pragma_table_info('journal') WHERE name = 'is_link'");
    if (linkColumn.step() && linkColumn.integer(0) == 0)
        database_->db.exec("ALTER TABLE journal ADD COLUMN is_link INTEGER NOT NULL DEFAULT 0");
}

StateStore::~StateStore() = default;

StateStore::Snapshot StateStore::load() {
    std::scoped_lock lock(database_->mutex);
    Snapshot snapshot;
    sqlite::Statement anchor(database_->db, "SELECT value FROM anchor WHERE id = 1");
    if (anchor.step()) snapshot.anchor = anchor.blob(0);
    sqlite::Statement records(
        database_->db,
        "SELECT identifier, parent, name, is_folder, size, created, modified, content_version, "
        "metadata_version FROM records");
    while (records.step()) {
        ItemRecord record;
        record.identifier = records.blob(0);
        record.parent = records.blob(1);
        record.name = records.blob(2);
        record.isFolder = records.integer(3) != 0;
        record.size = records.integer(4);
        record.created = dateAt(records, 5);
        record.modified = dateAt(records, 6);
        record.version = {records.blob(7), records.blob(8)};
        snapshot.records.push_back(std::move(record));
    }
    sqlite::Statement listed(database_->db, "SELECT folder FROM listings");
    while (listed.step())
        snapshot.listed.push_back(listed.blob(0));
    return snapshot;
}

void StateStore::save(const host::SyncAnchor& anchor, const std::vector<ItemRecord>& updated,
                      const std::vector<host::ItemIdentifier>& removed, const ListingChanges& listings) {
    std::scoped_lock lock(database_->mutex);
    auto& db = database_->db;
    sqlite::Transaction transaction(db, sqlite::Transaction::Kind::write);
    sqlite::Statement write(
        db,
        "INSERT OR REPLACE INTO records (identifier, parent, name, is_folder, size, created, "
        "modified, content_version, metadata_version) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const auto put = [&](const ItemRecord& record) {
        write.bindBlob(1, record.identifier)
            .bindBlob(2, record.parent)
            .bindBlob(3, record.name)
            .bindInteger(4, record.isFolder)
            .bindInteger(5, record.size);
        bindDate(write, 6, record.created);
        bindDate(write, 7, record.modified);
        write.bindBlob(8, record.version.contentVersion).bindBlob(9, record.version.metadataVersion).run();
    };
    for (const auto& record : updated)
        put(record);
    if (listings.droppedAll) db.exec("DELETE FROM listings");
    sqlite::Statement unlist(db, "DELETE FROM listings WHERE folder = ?");
    for (const auto& folder : listings.dropped)
        unlist.bindBlob(1, folder).run();
    sqlite::Statement list(db, "INSERT OR REPLACE INTO listings (folder) VALUES (?)");
    for (const auto& folder : listings.kept)
        list.bindBlob(1, folder).run();
    for (const auto& record : listings.records)
        put(record);
    sqlite::Statement remove(db, "DELETE FROM records WHERE identifier = ?");
    for (const auto& identifier : removed)
        remove.bindBlob(1, identifier).run();
    sqlite::Statement(db, "INSERT OR REPLACE INTO anchor (id, value) VALUES (1, ?)")
        .bindBlob(1, anchor)
        .run();
    transaction.commit();
}

void StateStore::clear() {
    std::scoped_lock lock(database_->mutex);
    sqlite::Transaction transaction(database_->db, sqlite::Transaction::Kind::write);
    database_->db.exec("DELETE FROM anchor; DELETE FROM records; DELETE FROM listings;");
    transaction.commit();
}

std::vector<PendingChange> StateStore::pendingChanges() {
    std::scoped_lock lock(database_->mutex);
    std::vector<PendingChange> changes;
    sqlite::Statement rows(database_->db,
                           "SELECT identifier, cache_identity, parent, name, base_content_version, "
                           "base_metadata_version, modified, attempts, last_error, local_only, is_link "
                           "FROM journal ORDER BY identifier");
    while (rows.step())
        changes.push_back({.identifier = rows.blob(0),
                           .cacheIdentity = rows.blob(1),
                           .parent = rows.blob(2),
                           .name = rows.blob(3),
                           .baseVersion = {rows.blob(4), rows.blob(5)},
                           .modified = dateAt(rows, 6),
                           .attempts = static_cast<int>(rows.integer(7)),
                           .lastError = rows.text(8),
                           .localOnly = rows.integer(9) != 0,
                           .isLink = rows.integer(10) != 0});
    return changes;
}

void StateStore::putPendingChange(const PendingChange& change, const host::ItemIdentifier& replacing) {
    std::scoped_lock lock(database_->mutex);
    auto& db = database_->db;
    sqlite::Transaction transaction(db, sqlite::Transaction::Kind::write);
    if (!replacing.empty() && replacing != change.identifier)
        sqlite::Statement(db, "DELETE FROM journal WHERE identifier = ?").bindBlob(1, replacing).run();
    sqlite::Statement write(db,
                            "INSERT OR REPLACE INTO journal (identifier, cache_identity, parent, name, "
                            "base_content_version, base_metadata_version, modified, attempts, last_error, "
                            "local_only, is_link) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    write.bindBlob(1, change.identifier)
        .bindBlob(2, change.cacheIdentity)
        .bindBlob(3, change.parent)
        .bindBlob(4, change.name)
        .bindBlob(5, change.baseVersion.contentVersion)
        .bindBlob(6, change.baseVersion.metadataVersion);
    bindDate(write, 7, change.modified);
    write.bindInteger(8, change.attempts)
        .bindText(9, change.lastError)
        .bindInteger(10, change.localOnly)
        .bindInteger(11, change.isLink)
        .run();
    transaction.commit();
}

void StateStore::removePendingChange(const host::ItemIdentifier& identifier) {
    std::scoped_lock lock(database_->mutex);
    sqlite::Statement(database_->db, "DELETE FROM journal WHERE identifier = ?")
        .bindBlob(1, identifier)
        .run();
}

std::vector<host::ItemIdentifier> StateStore::pins() {
    std::scoped_lock lock(database_->mutex);
    std::vector<host::ItemIdentifier> pins;
    sqlite::Statement rows(database_->db, "SELECT identifier FROM pins ORDER BY identifier");
    while (rows.step())
        pins.push_back(rows.blob(0));
    return pins;
}

void StateStore::pin(const host::ItemIdentifier& identifier, bool pinned) {
    std::scoped_lock lock(database_->mutex);
    sqlite::Statement(database_->db, pinned ? "INSERT OR IGNORE INTO pins (identifier) VALUES (?)"
                                            : "DELETE FROM pins WHERE identifier = ?")
        .bindBlob(1, identifier)
        .run();
}

}  // namespace tw::mount
