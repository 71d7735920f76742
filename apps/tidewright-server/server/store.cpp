#include "server/store.h"

#include "server/api_error.h"
#include "server/blobs.h"
#include "server/store_rows.h"
#include "server/util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tw::server {

namespace rows {

Node nodeFrom(const Statement& row) {
    Node node;
    node.num = row.integer(0);
    node.parent = row.integer(1);
    node.folder = row.text(2) == "folder";
    node.name = row.text(3);
    node.size = row.integer(4);
    node.mime = row.optionalText(5);
    node.rev = row.optionalText(6);
    node.version = row.integer(7);
    node.seq = row.integer(8);
    node.createdAt = row.integer(9);
    node.updatedAt = row.integer(10);
    node.deletedAt = row.optionalInteger(11);
    node.purged = row.integer(12) != 0;
    return node;
}

std::optional<Node> findNode(Database& db, std::int64_t num) {
    Statement st(db, std::string("SELECT ") + nodeColumns + " FROM nodes WHERE num = ?");
    st.bind(1, num);
    if (!st.step()) return std::nullopt;
    return nodeFrom(st);
}

std::int64_t nextSeq(Database& db) {
    Statement st(db, "UPDATE meta SET value = value + 1 WHERE key = 'last_seq' RETURNING value");
    if (!st.step()) throw SqliteError(0, "meta row last_seq is missing");
    return st.integer(0);
}

std::int64_t lastSeq(Database& db) {
    Statement st(db, "SELECT value FROM meta WHERE key = 'last_seq'");
    return st.step() ? st.integer(0) : 0;
}

void updateNode(Database& db, const Node& node) {
    Statement st(db,
                 "UPDATE nodes SET parent = ?, name = ?, size = ?, mime = ?, rev = ?, version = ?, seq = ?, "
                 "updated_at = ?, deleted_at = ?, purged = ? WHERE num = ?");
    st.bind(1, node.parent).bind(2, node.name).bind(3, node.size).bind(4, node.mime).bind(5, node.rev);
    st.bind(6, node.version).bind(7, node.seq).bind(8, node.updatedAt);
    if (node.deletedAt) {
        st.bind(9, *node.deletedAt);
    } else {
        st.bindNull(9);
    }
    st.bind(10, std::int64_t{node.purged ? 1 : 0}).bind(11, node.num);
    st.run();
}

void insertNode(Database& db, Node& node) {
    Statement st(
        db,
        "INSERT INTO nodes (parent, kind, name, size, mime, rev, version, seq, created_at, updated_at) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING num");
    st.bind(1, node.parent).bind(2, std::string_view(node.folder ? "folder" : "file")).bind(3, node.name);
    st.bind(4, node.size).bind(5, node.mime).bind(6, node.rev).bind(7, node.version).bind(8, node.seq);
    st.bind(9, node.createdAt).bind(10, node.updatedAt);
    if (!st.step()) throw SqliteError(0, "insert returned no row");
    node.num = st.integer(0);
}

bool isLive(Database& db, const Node& node) {
    if (node.deletedAt || node.purged) return false;
    Statement st(db, "SELECT parent, deleted_at, purged FROM nodes WHERE num = ?");
    std::int64_t parent = node.parent;
    // Depth is bounded by the number of rows; the move check keeps the tree free of cycles.
    while (parent != 0) {
        st.bind(1, parent);
        if (!st.step()) return false;
        if (!st.isNull(1) || st.integer(2) != 0) return false;
        parent = st.integer(0);
        st.reset();
    }
    return true;
}

std::optional<Node> liveSibling(Database& db, std::int64_t parent, const std::string& name,
                                std::int64_t except) {
    Statement st(db, std::string("SELECT ") + nodeColumns +
                         " FROM nodes WHERE parent = ? AND name = ? AND deleted_at IS NULL AND purged = 0 "
                         "AND num != ?");
    st.bind(1, parent).bind(2, name).bind(3, except);
    if (!st.step()) return std::nullopt;
    return nodeFrom(st);
}

}  // namespace rows

namespace {

constexpr const char* schema = R"sql(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT OR IGNORE INTO meta (key, value) VALUES ('last_seq', 0);
CREATE TABLE IF NOT EXISTS nodes (
    num INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER NOT NULL,
    kind TEXT NOT NULL CHECK (kind IN ('folder', 'file')),
    name TEXT NOT NULL,
    size INTEGER NOT NULL DEFAULT 0,
    mime TEXT,
    rev TEXT,
    version INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    deleted_at INTEGER,
    purged INTEGER NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS nodes_by_seq ON nodes (seq);
CREATE UNIQUE INDEX IF NOT EXISTS nodes_live_names ON nodes (parent, name)
    WHERE deleted_at IS NULL AND purged = 0;
CREATE INDEX IF NOT EXISTS nodes_children ON nodes (parent, num) WHERE deleted_at IS NULL AND purged = 0;
CREATE INDEX IF NOT EXISTS nodes_trashed ON nodes (num) WHERE deleted_at IS NOT NULL AND purged = 0;
CREATE TABLE IF NOT EXISTS uploads (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    parent INTEGER NOT NULL,
    mime TEXT NOT NULL,
    size INTEGER NOT NULL,
    part_size INTEGER NOT NULL,
    rename INTEGER NOT NULL,
    replace INTEGER,
    if_match INTEGER,
    created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS upload_parts (
    upload_id TEXT NOT NULL,
    part INTEGER NOT NULL,
    size INTEGER NOT NULL,
    PRIMARY KEY (upload_id, part)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS devices (
    id TEXT PRIMARY KEY,
    token TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    kind TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    revoked_at INTEGER
);
CREATE TABLE IF NOT EXISTS links (
    token TEXT PRIMARY KEY,
    num INTEGER NOT NULL,
    rev TEXT NOT NULL,
    expires_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS links_by_expiry ON links (expires_at);
)sql";

// Databases written before tokens were hashed hold them in plain text; they are hashed in place once.
// True when there were any.
bool hashPlainTokens(Database& db) {
    bool found = false;
    Statement marked(db, "SELECT value FROM meta WHERE key = 'token_format'");
    if (marked.step()) return false;
    for (const char* table : {"devices", "links"}) {
        std::vector<std::string> plain;
        Statement all(db, std::string("SELECT token FROM ") + table);
        while (all.step())
            plain.push_back(all.text(0));
        Statement update(db, std::string("UPDATE ") + table + " SET token = ? WHERE token = ?");
        for (const auto& token : plain) {
            found = true;
            update.bind(1, tokenHash(token)).bind(2, token);
            update.run();
            update.reset();
        }
    }
    db.exec("INSERT INTO meta (key, value) VALUES ('token_format', 1)");
    return found;
}

// The database and its WAL and shared-memory files are the owner's alone: SQLite gives the other two
// the mode of the database file, which is created (or corrected) here before SQLite opens it.
void makePrivateFiles(const std::filesystem::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd || ::fchmod(fd.get(), 0600) != 0)
        throw std::system_error(errno, std::generic_category(), "create " + file.string());
    for (const char* suffix : {"-wal", "-shm"}) {
        auto path = file.string() + suffix;
        if (::chmod(path.c_str(), 0600) != 0 && errno != ENOENT)
            throw std::system_error(errno, std::generic_category(), "chmod " + path);
    }
}

}  // namespace

Store::Store(const std::filesystem::path& file) : file_(file) {
    makePrivateFiles(file_);
    writer_ = std::make_unique<Database>(file_.string());
    writer_->exec(schema);
    bool hashed = false;
    write([&](Database& db) { hashed = hashPlainTokens(db); });
    // The plain tokens' old bytes stay in free pages and in the log until the file is rewritten.
    if (hashed) writer_->exec("VACUUM; PRAGMA wal_checkpoint(TRUNCATE);");
}

Store::~Store() = default;

void Store::read(const std::function<void(Database&)>& body) {
    // The connection goes back to the pool however the body ends; its transaction is over by then.
    struct Lease {
        Store& store;
        std::unique_ptr<Database> db;
        ~Lease() {
            if (!db) return;
            std::scoped_lock lock(store.poolMutex_);
            store.idle_.push_back(std::move(db));
        }
    } lease{*this, nullptr};
    {
        std::scoped_lock lock(poolMutex_);
        if (!idle_.empty()) {
            lease.db = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (!lease.db) lease.db = std::make_unique<Database>(file_.string());
    Transaction tx(*lease.db, Transaction::Kind::read);
    body(*lease.db);
    tx.commit();
}

void Store::write(const std::function<void(Database&)>& body) {
    std::scoped_lock lock(writeMutex_);
    Transaction tx(*writer_, Transaction::Kind::write);
    body(*writer_);
    tx.commit();
}

std::optional<Node> Store::find(std::int64_t num) {
    std::optional<Node> node;
    read([&](Database& db) { node = rows::findNode(db, num); });
    return node;
}

Node Store::get(std::int64_t num, bool includeTrashed) {
    auto node = find(num);
    if (!node || node->purged || (node->deletedAt && !includeTrashed)) throw ApiError::notFound();
    return *node;
}

namespace {

// Pages are read one row longer than asked: the extra row only tells that another page follows.
void closePage(ListingPage& page, int limit) {
    if (page.items.size() > static_cast<std::size_t>(limit)) {
        page.items.pop_back();
        page.next = page.items.back().num;
    }
}

}  // namespace

ListingPage Store::children(std::int64_t parent, std::int64_t after, int limit) {
    ListingPage page;
    read([&](Database& db) {
        if (parent != 0) {
            auto folder = rows::findNode(db, parent);
            if (!folder || folder->purged) throw ApiError::notFound();
            if (!folder->folder) throw ApiError(409, "not_a_folder");
        }
        Statement st(db, std::string("SELECT ") + rows::nodeColumns +
                             " FROM nodes WHERE parent = ? AND deleted_at IS NULL AND purged = 0 AND num > ? "
                             "ORDER BY num LIMIT ?");
        st.bind(1, parent).bind(2, after).bind(3, std::int64_t{limit} + 1);
        while (st.step())
            page.items.push_back(rows::nodeFrom(st));
    });
    closePage(page, limit);
    return page;
}

ListingPage Store::trash(std::int64_t after, int limit) {
    ListingPage page;
    read([&](Database& db) {
        Statement st(db, std::string("SELECT ") + rows::nodeColumns +
                             " FROM nodes WHERE deleted_at IS NOT NULL AND purged = 0 AND num > ? "
                             "ORDER BY num LIMIT ?");
        st.bind(1, after).bind(2, std::int64_t{limit} + 1);
        while (st.step())
            page.items.push_back(rows::nodeFrom(st));
    });
    closePage(page, limit);
    return page;
}

ChangesPage Store::changes(std::int64_t since, int limit) {
    ChangesPage page;
    read([&](Database& db) {
        Statement st(db, std::string("SELECT ") + rows::nodeColumns +
                             " FROM nodes WHERE seq > ? ORDER BY seq LIMIT ?");
        st.bind(1, since).bind(2, std::int64_t{limit} + 1);
        while (st.step())
            page.changes.push_back(rows::nodeFrom(st));
        page.latest = rows::lastSeq(db);
    });
    if (page.changes.size() > static_cast<std::size_t>(limit)) {
        page.changes.pop_back();
        page.hasMore = true;
    }
    page.cursor = page.changes.empty() ? std::max<std::int64_t>(since, 0) : page.changes.back().seq;
    return page;
}

std::int64_t Store::nodeCount() {
    std::int64_t count = 0;
    read([&](Database& db) {
        Statement st(db, "SELECT count(*) FROM nodes");
        if (st.step()) count = st.integer(0);
    });
    return count;
}

std::vector<std::string> Store::liveRevs() {
    std::vector<std::string> revs;
    read([&](Database& db) {
        Statement st(db, "SELECT rev FROM nodes WHERE rev IS NOT NULL AND purged = 0");
        while (st.step())
            revs.push_back(st.text(0));
    });
    return revs;
}

}  // namespace tw::server
