#include "platform/sqlite.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#include "platform/file_descriptor.h"

namespace tw::sqlite {

Database::Database(const std::filesystem::path& file, const Options& options) : file_(file) {
    {
        FileDescriptor made = FileDescriptor::open(file, O_RDWR | O_CREAT, 0600);
        if (::fchmod(made.get(), 0600) != 0)  // a file made earlier with a wider mode is narrowed too
            throw std::system_error(errno, std::generic_category(),
                                    "cannot set the mode of " + file.string());
    }
    const int code =
        sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
        sqlite3_close_v2(db_);
        throw Error(code, "database " + file.string() + ": " + message);
    }
    try {
        sqlite3_busy_timeout(db_, static_cast<int>(options.busyTimeout.count()));
        if (options.writeAheadLog) exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
    } catch (...) {
        sqlite3_close_v2(db_);
        throw;
    }
}

Database::~Database() {
    // close_v2: a statement left unfinalized by mistake keeps the connection until it goes, rather than
    // leaking it.
    sqlite3_close_v2(db_);
}

void Database::fail(int code, std::string_view what) const {
    throw Error(code, "database " + file_.string() + ": " + std::string(what) + ": " + sqlite3_errmsg(db_));
}

void Database::exec(const std::string& sql) {
    char* message = nullptr;
    const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (code == SQLITE_OK) return;
    const std::string text = message ? message : sqlite3_errstr(code);
    sqlite3_free(message);
    throw Error(code, "database " + file_.string() + ": " + text);
}

std::int64_t Database::changes() const {
    return sqlite3_changes64(db_);
}

std::int64_t Database::lastInsertRowid() const {
    return sqlite3_last_insert_rowid(db_);
}

Statement::Statement(Database& db, std::string_view sql) : db_(db) {
    const int code =
        sqlite3_prepare_v2(db.db_, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr);
    if (code != SQLITE_OK) db.fail(code, "cannot prepare \"" + std::string(sql) + "\"");
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

Statement& Statement::check(int code, std::string_view what) {
    if (code != SQLITE_OK) db_.fail(code, what);
    return *this;
}

Statement& Statement::bindInteger(int index, std::int64_t value) {
    return check(sqlite3_bind_int64(statement_, index, value), "bind");
}

Statement& Statement::bindReal(int index, double value) {
    return check(sqlite3_bind_double(statement_, index, value), "bind");
}

Statement& Statement::bindText(int index, std::string_view value) {
    // A null pointer would bind NULL: an empty text is a value.
    const char* data = value.empty() ? "" : value.data();
    return check(sqlite3_bind_text64(statement_, index, data, value.size(), SQLITE_TRANSIENT, SQLITE_UTF8),
                 "bind");
}

Statement& Statement::bindBlob(int index, std::string_view value) {
    const char* data = value.empty() ? "" : value.data();
    return check(sqlite3_bind_blob64(statement_, index, data, value.size(), SQLITE_TRANSIENT), "bind");
}

Statement& Statement::bindNull(int index) {
    return check(sqlite3_bind_null(statement_, index), "bind");
}

bool Statement::step() {
    const int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) return false;
    db_.fail(code, "step");
}

void Statement::run() {
    while (step()) {
    }
    reset();
}

void Statement::reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(statement_, column);
}

double Statement::real(int column) const {
    return sqlite3_column_double(statement_, column);
}

std::string Statement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                : std::string();
}

std::string Statement::blob(int column) const {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
    return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                : std::string();
}

Transaction::Transaction(Database& db, Kind kind) : db_(db) {
    db_.exec(kind == Kind::write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
    if (done_) return;
    // A rollback that fails (no transaction left after SQLite ended it on an error) has nothing to undo.
    try {
        db_.exec("ROLLBACK");
    } catch (const Error&) {
    }
}

void Transaction::commit() {
    db_.exec("COMMIT");
    done_ = true;
}

}  // namespace tw::sqlite
