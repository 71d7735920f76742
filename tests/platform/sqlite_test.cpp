// The SQLite connection, statements and transactions, on real database files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "platform/sqlite.h"
#include "support/elapsed.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The first column of the first row of `sql`, as text.
std::string scalar(sqlite::Database& db, const std::string& sql) {
    sqlite::Statement statement(db, sql);
    return statement.step() ? statement.text(0) : "(no row)";
}

// Made 0600 whatever the umask, an older wider file narrowed; its write-ahead log takes the same mode.
TEST(Sqlite, TheDatabaseAndItsLogAreTheOwnersAloneAndInWriteAheadMode) {
    test::TempDir dir;
    const fs::path older = dir.path() / "older.sqlite", fresh = dir.path() / "fresh.sqlite";
    std::ofstream(older).flush();
    fs::permissions(older, fs::perms(0644));
    const mode_t previous = ::umask(0);
    for (const auto& file : {older, fresh}) {
        SCOPED_TRACE(file.filename());
        sqlite::Database db(file);
        db.exec("CREATE TABLE t (v INTEGER); INSERT INTO t VALUES (1)");
        EXPECT_EQ(scalar(db, "PRAGMA journal_mode"), "wal");
        EXPECT_EQ(test::modeOf(file), 0600u);
        EXPECT_EQ(test::modeOf(fs::path(file.string() + "-wal")), 0600u);
    }
    ::umask(previous);
}

// What is bound is read back as it was: blobs keep every byte (NUL included) and an empty one is not NULL.
TEST(Sqlite, BoundValuesComeBackAsTheyWere) {
    test::TempDir dir;
    sqlite::Database db(dir.path() / "db");
    db.exec("CREATE TABLE t (k INTEGER PRIMARY KEY, v)");
    sqlite::Statement insert(db, "INSERT INTO t (k, v) VALUES (?, ?)");
    sqlite::Statement select(db, "SELECT v, typeof(v) FROM t WHERE k = ?");
    const std::string bytes("a\0b\xff", 4);
    constexpr auto least = std::numeric_limits<std::int64_t>::min();
    struct Case {
        const char* type;
        std::function<void(sqlite::Statement&)> bind;
        std::function<bool(const sqlite::Statement&)> readBack;
    } cases[] = {
        {"blob", [&](auto& s) { s.bindBlob(2, bytes); }, [&](const auto& s) { return s.blob(0) == bytes; }},
        {"blob", [](auto& s) { s.bindBlob(2, ""); }, [](const auto& s) { return s.blob(0).empty(); }},
        {"text", [](auto& s) { s.bindText(2, "Relatório"); },
         [](const auto& s) { return s.text(0) == "Relatório"; }},
        {"text", [](auto& s) { s.bindText(2, ""); }, [](const auto& s) { return s.text(0).empty(); }},
        {"integer", [&](auto& s) { s.bindInteger(2, least); },
         [&](const auto& s) { return s.integer(0) == least; }},
        {"real", [](auto& s) { s.bindReal(2, 1.7e9 + 0.25); },
         [](const auto& s) { return s.real(0) == 1.7e9 + 0.25; }},
        {"null", [](auto& s) { s.bindNull(2); }, [](const auto& s) { return s.isNull(0); }},
    };
    std::int64_t key = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << key);
        insert.bindInteger(1, ++key);
        c.bind(insert);
        insert.run();
        EXPECT_EQ(db.changes(), 1);
        EXPECT_EQ(db.lastInsertRowid(), key);
        select.bindInteger(1, key);
        ASSERT_TRUE(select.step());
        EXPECT_EQ(select.text(1), c.type);
        EXPECT_TRUE(c.readBack(select));
        EXPECT_FALSE(select.step());
        select.reset();
    }
}

// A transaction that goes without a commit (its body threw) leaves nothing; a committed one is seen by
// another connection, and a statement SQLite refuses names the database.
TEST(Sqlite, TransactionsCommitWholeOrNotAtAll) {
    test::TempDir dir;
    sqlite::Database db(dir.path() / "db"), other(dir.path() / "db");
    db.exec("CREATE TABLE t (v INTEGER UNIQUE)");
    const auto insert = [&](std::int64_t value) {
        sqlite::Statement(db, "INSERT INTO t VALUES (?)").bindInteger(1, value).run();
    };
    std::optional<int> code;
    try {
        sqlite::Transaction transaction(db, sqlite::Transaction::Kind::write);
        insert(1);
        insert(1);  // UNIQUE fails: the first insert goes too
        transaction.commit();
    } catch (const sqlite::Error& error) {
        code = error.code() & 0xff;  // the primary code, whether SQLite gave an extended one or not
        EXPECT_NE(std::string(error.what()).find((dir.path() / "db").string()), std::string::npos);
    }
    EXPECT_EQ(code, 19) << "SQLITE_CONSTRAINT";
    EXPECT_EQ(scalar(other, "SELECT count(*) FROM t"), "0");
    {
        sqlite::Transaction transaction(db, sqlite::Transaction::Kind::write);
        insert(2);
        insert(3);
        transaction.commit();
    }
    EXPECT_EQ(scalar(other, "SELECT group_concat(v) FROM t"), "2,3");
    EXPECT_THROW(sqlite::Statement(db, "SELECT nothing FROM nowhere"), sqlite::Error);
}

// With the write-ahead log a reader never waits for a writer; a second writer waits its busy timeout, then
// fails with SQLITE_BUSY (5). The wait is measured: at least the timeout, with room for a loaded machine.
TEST(Sqlite, ReadersPassAWriterAndASecondWriterWaitsItsBusyTimeout) {
    test::TempDir dir;
    sqlite::Database writer(dir.path() / "db"), second(dir.path() / "db", {.busyTimeout = 300ms});
    writer.exec("CREATE TABLE t (v INTEGER); INSERT INTO t VALUES (1)");
    sqlite::Transaction holding(writer, sqlite::Transaction::Kind::write);
    writer.exec("INSERT INTO t VALUES (2)");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(scalar(second, "SELECT count(*) FROM t"), "1") << "the snapshot before the writer's change";
    EXPECT_LT(test::secondsSince(start), 0.1);

    start = std::chrono::steady_clock::now();
    std::optional<int> code;
    try {
        sqlite::Transaction attempt(second, sqlite::Transaction::Kind::write);
    } catch (const sqlite::Error& error) {
        code = error.code();
    }
    EXPECT_EQ(code, 5);
    EXPECT_GE(test::secondsSince(start), 0.28);
    EXPECT_LT(test::secondsSince(start), 2.0);
}

}  // namespace
}  // namespace tw
