#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace Ostra::host {

enum class OutputFormat { JsonLines, Table };

// Prints the records of one command. JSON Lines go out as they arrive, one
// record per line; a table is collected and printed by finish(), because its
// column widths depend on every row. Summaries (a scan's report, a "count")
// are one more JSON line, or "key: value" lines under the table. Every write
// first erases the progress line, so records never run into it, and throws
// OutputError when standard output cannot be written. Used from one thread.
class RecordWriter {
  public:
    // `columns`: the table's preferred columns, in order; keys of a record
    // outside this list are left out of the table (never out of JSON Lines).
    // Empty: every key seen, in order of first appearance.
    RecordWriter(std::ostream& out, OutputFormat format, std::vector<std::string> columns = {});

    void record(const nlohmann::json& value);
    void summary(const nlohmann::json& value);
    void finish();
    OutputFormat format() const { return format_; }

  private:
    std::ostream& out_;
    OutputFormat format_;
    std::vector<std::string> columns_;
    bool fixedColumns_;
    std::vector<nlohmann::json> rows_;
    std::vector<nlohmann::json> summaries_;
};

// The one-line progress report on standard error: items done, items per
// second and, when the total is known, the total and the time left. Drawn
// only when enabled (standard error is a terminal), at most ten times a
// second; erased by finish(), and before anything else is written (records on
// standard output share the terminal). The terminal has one such line, so at
// most one ProgressLine is drawn at a time. Used from one thread.
class ProgressLine {
  public:
    // `unit` and `units`: the singular and plural ("file", "files").
    ProgressLine(std::string label, std::string unit, std::string units, std::int64_t total,
                 bool enabled);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void advance(std::int64_t items);
    void setTotal(std::int64_t total) { total_ = total; }
    void finish();

  private:
    void draw();

    std::string label_;
    std::string unit_;
    std::string units_;
    std::int64_t total_;
    bool enabled_;
    bool everDrawn_ = false;
    std::int64_t done_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// Erases the progress line if one is drawn; it comes back at its next
// advance. Call before writing anything to the terminal.
void clearProgressLine();
// "ostra-host: <text>" on standard error, after clearing the progress line.
void note(const std::string& text);

// Columns the terminal gives UTF-8 text: wide (East Asian) characters take
// two, combining marks none; bytes that are not UTF-8 one each.
std::size_t displayWidth(const std::string& text);
// Cell text for a table: strings as they are, other values as JSON, on one
// line, cut to `width` columns (paths keep their end, other texts their
// start); control characters show as "?" and bytes that are not UTF-8 as
// U+FFFD, so that no tag or file name can send the terminal a command.
std::string cellText(const nlohmann::json& value, bool keepEnd, std::size_t width);

}  // namespace Ostra::host
