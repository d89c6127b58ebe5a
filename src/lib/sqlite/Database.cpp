#include "lib/sqlite/Database.h"

#include <utility>

#include "lib/sqlite/Statement.h"

namespace Ostra {
namespace sqlite {

void fail(sqlite3* db, int code, const std::string& what) {
    std::string text = what + ": ";
    // The connection's message belongs to its last call; without a
    // connection (an open that could not allocate one) the code says it.
    text += db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    text += " (" + std::to_string(code) + ")";
    throw Error(code, text);
}

Database::Database(const std::string& path, int flags) {
    // Before the library's first use: its allocation statistics would take a
    // process-wide lock at every allocation of every connection.
    static const int configured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    (void)configured;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        // A failed open may still hand back a connection, which holds the
        // message and must be closed.
        try {
            fail(db, rc, "cannot open " + path);
        } catch (...) {
            sqlite3_close_v2(db);
            throw;
        }
    }
    sqlite3_extended_result_codes(db, 1);
    db_ = db;
}

Database::~Database() {
    close();
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

void Database::close() {
    // close_v2 lets statements outlive the connection object safely: the
    // connection goes when the last of them is finalised.
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
}

void Database::exec(const std::string& sql) {
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) fail(db_, rc, sql);
}

long long Database::queryInt(const std::string& sql) {
    Statement statement(*this, sql);
    if (!statement.step()) fail(db_, SQLITE_MISMATCH, sql + " gave no row");
    return statement.columnInt(0);
}

void Database::busyTimeout(int milliseconds) {
    const int rc = sqlite3_busy_timeout(db_, milliseconds);
    if (rc != SQLITE_OK) fail(db_, rc, "busy timeout");
}

Transaction::Transaction(Database& db) : db_(db) {
    db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!open_) return;
    // Nothing to report from a destructor: a failed rollback leaves the
    // transaction to the connection's close, which rolls it back too.
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    db_.exec("COMMIT");
    open_ = false;
}

}  // namespace sqlite
}  // namespace Ostra
