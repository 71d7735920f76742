#pragma once
// SQLite for state kept on disk: one connection, prepared statements with binding and stepping, and
// transactions. <sqlite3.h> stays inside sqlite.cpp.
//
// Every failure of SQLite throws sqlite::Error. A statement or a transaction must not outlive the connection
// it was made on.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tw::sqlite {

// A failure reported by SQLite: its result code (SQLITE_BUSY, SQLITE_CORRUPT...) and its message.
class Error : public std::runtime_error {
public:
    Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

struct Options {
    // How long a statement waits for a lock held by another connection before failing with SQLITE_BUSY.
    std::chrono::milliseconds busyTimeout{5000};
    // The write-ahead log with synchronous=NORMAL: readers never wait for the writer, and a commit is one
    // append. A crash of the process loses nothing committed; a power cut may lose the last commits but never
    // damages the database. Off: SQLite's rollback journal and its defaults.
    bool writeAheadLog = true;
};

// One connection to a database file. The file is made here, never by SQLite: with mode 0600, and an existing
// one narrowed to 0600, so it is never readable by others, not even for a moment; SQLite gives its -wal and
// -shm files the database's mode. Not thread-safe (opened without SQLite's own mutex): one thread at a time.
class Database {
public:
    // Opens `file`, creating it when missing (its folder must exist). Throws std::system_error when the file
    // cannot be made, Error when SQLite cannot open it or set it up.
    explicit Database(const std::filesystem::path& file, const Options& options = {});
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs SQL text of any number of statements that return no rows (a schema, pragmas).
    void exec(const std::string& sql);
    // Rows changed by the last INSERT, UPDATE or DELETE; the row id of the last INSERT.
    std::int64_t changes() const;
    std::int64_t lastInsertRowid() const;
    const std::filesystem::path& file() const { return file_; }

private:
    friend class Statement;
    // The Error for result `code` of the step `what`, with SQLite's message and the file's name.
    [[noreturn]] void fail(int code, std::string_view what) const;

    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
};

// One prepared statement of one SQL statement. Bind indexes start at 1, column indexes at 0. Binding
// functions return the statement, so binds chain: `st.bindText(1, name).bindInteger(2, size).run()`.
class Statement {
public:
    Statement(Database& db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bindInteger(int index, std::int64_t value);
    Statement& bindReal(int index, double value);
    Statement& bindText(int index, std::string_view value);
    // Bytes as they are, NUL included; an empty value is an empty blob, not NULL.
    Statement& bindBlob(int index, std::string_view value);
    Statement& bindNull(int index);

    // Advances to the next row: true when there is one to read, false when the statement is done.
    bool step();
    // Steps until done, then resets: for statements that return no rows, run once per set of bindings.
    void run();
    // Ready to run again, every binding cleared.
    void reset();

    bool isNull(int column) const;
    std::int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    std::string blob(int column) const;

private:
    Statement& check(int code, std::string_view what);

    Database& db_;
    sqlite3_stmt* statement_ = nullptr;
};

// One transaction, rolled back when it goes without commit() (a body that throws leaves nothing behind).
class Transaction {
public:
    // `write` begins IMMEDIATE: the write lock is taken at once, so two connections never both read and then
    // find that neither may write. `read` gives one snapshot for several statements.
    enum class Kind { read, write };
    Transaction(Database& db, Kind kind);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Throws Error; the transaction is rolled back then, when it goes.
    void commit();

private:
    Database& db_;
    bool done_ = false;
};

}  // namespace tw::sqlite
