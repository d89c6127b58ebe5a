#include "lib/sqlite/Statement.h"

#include <utility>

namespace Ostra {
namespace sqlite {

Statement::Statement(Database& db, const std::string& sql) {
    // Persistent: these statements live as long as their connection, which
    // tells the library to keep them out of its short-lived memory.
    const int rc = sqlite3_prepare_v3(db.get(), sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        fail(db.get(), rc, sql);
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), run_(other.run_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        run_ = other.run_;
    }
    return *this;
}

void Statement::resetIfRun() {
    if (run_) reset();
}

void Statement::reset() {
    // The step's own result already reported any error.
    sqlite3_reset(stmt_);
    run_ = false;
}

void Statement::bindBlob(int index, std::string_view bytes, bool kept) {
    resetIfRun();
    // A zero-length blob from a null pointer would bind NULL instead.
    const int rc = sqlite3_bind_blob64(stmt_, index, bytes.empty() ? "" : bytes.data(),
                                       bytes.size(), kept ? SQLITE_STATIC : SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) fail(sqlite3_db_handle(stmt_), rc, "bind");
}

void Statement::bindText(int index, std::string_view text, bool kept) {
    resetIfRun();
    // An empty view may have no pointer, which would bind NULL as well.
    const int rc = sqlite3_bind_text64(stmt_, index, text.empty() ? "" : text.data(), text.size(),
                                       kept ? SQLITE_STATIC : SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK) fail(sqlite3_db_handle(stmt_), rc, "bind");
}

void Statement::bindInt(int index, long long value) {
    resetIfRun();
    const int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK) fail(sqlite3_db_handle(stmt_), rc, "bind");
}

bool Statement::step() {
    run_ = true;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    // The statement's message, before the reset that would clear it.
    sqlite3* db = sqlite3_db_handle(stmt_);
    std::string sql = sqlite3_sql(stmt_) != nullptr ? sqlite3_sql(stmt_) : "statement";
    try {
        fail(db, rc, sql);
    } catch (...) {
        reset();
        throw;
    }
}

void Statement::run() {
    while (step()) {
    }
    reset();
}

long long Statement::columnInt(int index) const {
    return sqlite3_column_int64(stmt_, index);
}

std::string_view Statement::columnBlob(int index) const {
    const void* bytes = sqlite3_column_blob(stmt_, index);
    const int size = sqlite3_column_bytes(stmt_, index);
    if (bytes == nullptr || size <= 0) return std::string_view();
    return std::string_view(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

bool Statement::columnIsNull(int index) const {
    return sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

}  // namespace sqlite
}  // namespace Ostra
