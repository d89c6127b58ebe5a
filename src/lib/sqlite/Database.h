// SQLite, wrapped once: an owned connection, its prepared statements and the
// one place the error text is built from the library's own message.
#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace Ostra {
namespace sqlite {

// A failed call: the library's result code (extended codes included) and
// "what: <sqlite3_errmsg> (code)".
class Error : public std::runtime_error {
  public:
    Error(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const { return code_; }
    // The primary code (SQLITE_BUSY for SQLITE_BUSY_SNAPSHOT, ...).
    int primary() const { return code_ & 0xff; }

  private:
    int code_;
};

// Throws the Error for `code`, with the connection's message when it has one.
[[noreturn]] void fail(sqlite3* db, int code, const std::string& what);

// One open connection, closed when the object dies. A connection is used by
// one thread at a time (it is opened with SQLITE_OPEN_NOMUTEX), together with
// the statements prepared on it.
class Database {
  public:
    Database() = default;
    // Opens (with `flags`, e.g. SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    // throws Error when that fails.
    Database(const std::string& path, int flags);
    ~Database();
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    sqlite3* get() const { return db_; }
    bool isOpen() const { return db_ != nullptr; }
    // Runs statements that return no rows; throws Error.
    void exec(const std::string& sql);
    // The single integer a pragma or query answers with; throws Error.
    long long queryInt(const std::string& sql);
    // Waits at most this long for another connection's lock before a call
    // fails with SQLITE_BUSY.
    void busyTimeout(int milliseconds);
    void close();

  private:
    sqlite3* db_ = nullptr;
};

// Opens a transaction (BEGIN IMMEDIATE, so a busy database fails here rather
// than at the first write) and rolls it back unless commit() ran. Same thread
// as its connection.
class Transaction {
  public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

  private:
    Database& db_;
    bool open_ = true;
};

}  // namespace sqlite
}  // namespace Ostra
