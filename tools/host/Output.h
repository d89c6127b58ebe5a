#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace ostrahost {

enum class OutputFormat { JsonLines, Table };

// Prints the records of one command. JSON Lines go out as they arrive, one
// record per line; a table is collected and printed by finish(), because its
// column widths depend on every row. Summaries (a scan's report, a "count")
// are one more JSON line, or "key: value" lines under the table.
class RecordWriter {
  public:
    // `columns`: the table's preferred columns, in order; keys of a record
    // outside this list are left out of the table (never out of JSON Lines).
    // Empty: every key seen, in order of first appearance.
    RecordWriter(std::ostream& out, OutputFormat format, std::vector<std::string> columns = {});

    void record(const nlohmann::json& value);
    void summary(const nlohmann::json& value);
    void finish();

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
// second, and erased by finish() so it never mixes with the records.
class ProgressLine {
  public:
    ProgressLine(std::string label, std::string unit, std::int64_t total, bool enabled);
    ~ProgressLine();

    void advance(std::int64_t items);
    void finish();

  private:
    void draw();

    std::string label_;
    std::string unit_;
    std::int64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::int64_t done_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// Cell text for a table: strings as they are, other values as JSON, cut to
// `width` characters (paths keep their end, other texts their start).
std::string cellText(const nlohmann::json& value, bool keepEnd, std::size_t width);

}  // namespace ostrahost
