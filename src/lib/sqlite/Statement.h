#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>

#include "lib/sqlite/Database.h"

namespace Ostra {
namespace sqlite {

// A prepared statement, finalised when the object dies. Kept prepared across
// uses: bind, step until it answers false, and the next bind starts it over.
// Used by the thread that uses its connection.
class Statement {
  public:
    Statement() = default;
    // Prepares `sql` on `db`; throws Error.
    Statement(Database& db, const std::string& sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters count from 1. Bytes are copied, so the caller's buffer may
    // go before the statement runs, unless `kept`: then the caller keeps them
    // unchanged until the statement has stepped for the last time before it
    // is bound again. The first bind after a run resets it.
    void bindBlob(int index, std::string_view bytes, bool kept = false);
    void bindText(int index, std::string_view text, bool kept = false);
    void bindInt(int index, long long value);

    // True with a row to read, false when done; throws Error. A statement
    // left with a row unread keeps its read transaction open until reset().
    bool step();
    // Runs a statement that returns no rows, then resets it.
    void run();
    void reset();

    long long columnInt(int index) const;
    // Valid until the next step or reset.
    std::string_view columnBlob(int index) const;
    bool columnIsNull(int index) const;

  private:
    void resetIfRun();

    sqlite3_stmt* stmt_ = nullptr;
    bool run_ = false;  // stepped since the last reset
};

}  // namespace sqlite
}  // namespace Ostra
