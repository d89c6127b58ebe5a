#include "host/Output.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "host/JsonAmf.h"

namespace ostrahost {

namespace {

// Wide enough for a song title or a file name, narrow enough that a scan
// record's main columns fit a terminal.
constexpr std::size_t kMaxCellWidth = 48;

bool isPathColumn(const std::string& key) {
    return key == "path" || key == "wav";
}

// Display width of UTF-8 text: one column per code point, which is close
// enough for the Latin texts of tags and paths.
std::size_t displayWidth(const std::string& text) {
    std::size_t width = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++width;
    }
    return width;
}

// Cuts UTF-8 text to `width` code points from the start or the end.
std::string cutText(const std::string& text, std::size_t width, bool keepEnd) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    }
    if (starts.size() <= width) return text;
    const std::size_t keep = width > 3 ? width - 3 : width;
    if (keepEnd) return "..." + text.substr(starts[starts.size() - keep]);
    return text.substr(0, starts[keep]) + "...";
}

}  // namespace

std::string cellText(const nlohmann::json& value, bool keepEnd, std::size_t width) {
    std::string text;
    if (value.is_null()) {
        text = "";
    } else if (value.is_string()) {
        text = value.get<std::string>();
    } else {
        text = dumpLine(value);
    }
    for (char& c : text) {
        if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    }
    return cutText(text, width, keepEnd);
}

RecordWriter::RecordWriter(std::ostream& out, OutputFormat format, std::vector<std::string> columns)
    : out_(out), format_(format), columns_(std::move(columns)), fixedColumns_(!columns_.empty()) {}

void RecordWriter::record(const nlohmann::json& value) {
    if (format_ == OutputFormat::JsonLines) {
        out_ << dumpLine(value) << "\n" << std::flush;
        return;
    }
    nlohmann::json row = value.is_object() ? value : nlohmann::json{{"value", value}};
    if (!fixedColumns_) {
        for (const auto& item : row.items()) {
            if (std::find(columns_.begin(), columns_.end(), item.key()) == columns_.end())
                columns_.push_back(item.key());
        }
    }
    rows_.push_back(std::move(row));
}

void RecordWriter::summary(const nlohmann::json& value) {
    if (format_ == OutputFormat::JsonLines) {
        out_ << dumpLine(value) << "\n" << std::flush;
        return;
    }
    summaries_.push_back(value);
}

void RecordWriter::finish() {
    if (format_ == OutputFormat::JsonLines) return;
    // A column that no row fills is dropped.
    std::vector<std::string> shown;
    for (const auto& column : columns_) {
        for (const auto& row : rows_) {
            if (row.contains(column)) {
                shown.push_back(column);
                break;
            }
        }
    }
    if (!rows_.empty() && !shown.empty()) {
        std::vector<std::vector<std::string>> cells;
        std::vector<std::size_t> widths;
        for (const auto& column : shown) widths.push_back(displayWidth(column));
        for (const auto& row : rows_) {
            std::vector<std::string> line;
            for (std::size_t c = 0; c < shown.size(); ++c) {
                auto it = row.find(shown[c]);
                std::string text = it == row.end()
                                       ? std::string()
                                       : cellText(*it, isPathColumn(shown[c]), kMaxCellWidth);
                widths[c] = std::max(widths[c], displayWidth(text));
                line.push_back(std::move(text));
            }
            cells.push_back(std::move(line));
        }
        auto printLine = [&](const std::vector<std::string>& line) {
            std::string text;
            for (std::size_t c = 0; c < line.size(); ++c) {
                text += line[c];
                if (c + 1 < line.size())
                    text += std::string(widths[c] - displayWidth(line[c]) + 2, ' ');
            }
            out_ << text << "\n";
        };
        printLine(shown);
        std::vector<std::string> rule;
        for (std::size_t w : widths) rule.push_back(std::string(w, '-'));
        printLine(rule);
        for (const auto& line : cells) printLine(line);
    }
    for (const auto& value : summaries_) {
        if (rows_.size() > 0) out_ << "\n";
        if (value.is_object()) {
            for (const auto& item : value.items()) {
                out_ << item.key() << ": " << cellText(item.value(), false, 4096) << "\n";
            }
        } else {
            out_ << cellText(value, false, 4096) << "\n";
        }
    }
    out_ << std::flush;
}

ProgressLine::ProgressLine(std::string label, std::string unit, std::int64_t total, bool enabled)
    : label_(std::move(label)),
      unit_(std::move(unit)),
      total_(total),
      enabled_(enabled),
      start_(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() {
    finish();
}

void ProgressLine::advance(std::int64_t items) {
    done_ += items;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    draw();
}

void ProgressLine::draw() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
    char text[256];
    if (total_ >= 0) {
        const double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : 0.0;
        std::snprintf(text, sizeof text, "%s: %lld/%lld %s, %.1f/s, ETA %.0fs", label_.c_str(),
                      static_cast<long long>(done_), static_cast<long long>(total_), unit_.c_str(),
                      rate, left < 0 ? 0.0 : left);
    } else {
        std::snprintf(text, sizeof text, "%s: %lld %s, %.1f/s", label_.c_str(),
                      static_cast<long long>(done_), unit_.c_str(), rate);
    }
    // Carriage return and erase-line keep the report on one line.
    std::cerr << "\r\033[K" << text << std::flush;
    drawn_ = true;
}

void ProgressLine::finish() {
    if (enabled_ && drawn_) std::cerr << "\r\033[K" << std::flush;
    drawn_ = false;
    enabled_ = false;
}

}  // namespace ostrahost
