#include "host/Output.h"

#include <locale.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <cstdio>
#include <iostream>

#include "host/ProcessSetup.h"
#include "host/client/JsonAmf.h"

namespace Ostra::host {

namespace {

// Wide enough for a song title or a file name, narrow enough that a scan
// record's main columns fit a terminal.
constexpr std::size_t kMaxCellWidth = 48;

ProgressLine* drawnLine = nullptr;

bool isPathColumn(const std::string& key) {
    return key == "path" || key == "wav";
}

// One character of UTF-8 text: its length in bytes and its width in columns.
struct Glyph {
    std::size_t bytes;
    std::size_t width;
};

// Widths come from the C library's tables for UTF-8, whatever the user's
// locale: the records are UTF-8 in any case.
class Utf8Widths {
  public:
    Utf8Widths() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {}
    ~Utf8Widths() {
        if (locale_ != static_cast<locale_t>(nullptr)) freelocale(locale_);
    }
    Utf8Widths(const Utf8Widths&) = delete;
    Utf8Widths& operator=(const Utf8Widths&) = delete;

    std::vector<Glyph> split(const std::string& text) const {
        std::vector<Glyph> glyphs;
        const locale_t previous =
            locale_ != static_cast<locale_t>(nullptr) ? uselocale(locale_) : nullptr;
        std::mbstate_t state{};
        std::size_t i = 0;
        while (i < text.size()) {
            wchar_t c = 0;
            const std::size_t n = std::mbrtowc(&c, text.data() + i, text.size() - i, &state);
            if (n == 0 || n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
                // A byte that starts no character shows as one replacement mark.
                state = std::mbstate_t{};
                glyphs.push_back({1, 1});
                ++i;
                continue;
            }
            const int width = wcwidth(c);
            glyphs.push_back({n, width < 0 ? 1u : static_cast<std::size_t>(width)});
            i += n;
        }
        if (previous != static_cast<locale_t>(nullptr)) uselocale(previous);
        return glyphs;
    }

  private:
    locale_t locale_;
};

const Utf8Widths& widths() {
    static const Utf8Widths table;
    return table;
}

// Cuts text to `width` columns from the start or the end, marking the cut
// with "...".
std::string cutText(const std::string& text, std::size_t width, bool keepEnd) {
    const std::vector<Glyph> glyphs = widths().split(text);
    std::size_t total = 0;
    for (const auto& g : glyphs) total += g.width;
    if (total <= width) return text;
    const std::size_t room = width > 3 ? width - 3 : width;
    std::size_t used = 0, bytes = 0;
    if (keepEnd) {
        for (auto it = glyphs.rbegin(); it != glyphs.rend() && used + it->width <= room; ++it) {
            used += it->width;
            bytes += it->bytes;
        }
        return "..." + text.substr(text.size() - bytes);
    }
    for (auto it = glyphs.begin(); it != glyphs.end() && used + it->width <= room; ++it) {
        used += it->width;
        bytes += it->bytes;
    }
    return text.substr(0, bytes) + "...";
}

// The length of the UTF-8 sequence starting at text[i] and its code point,
// or 0 when the bytes there are no well-formed UTF-8 (overlong forms and
// surrogates included).
std::size_t utf8Sequence(const std::string& text, std::size_t i, char32_t& code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t n;
    char32_t min;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2, min = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3, min = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4, min = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - i < n) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return n;
}

// Text that is safe to put on a terminal: tags and file names come from
// files anyone may have made, and an escape sequence in a title would clear
// the screen or retitle the window. Control characters (C0, DEL, C1) show as
// "?", white space that breaks the line as a blank, and bytes that are not
// UTF-8 as U+FFFD, as in JSON Lines.
std::string printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t code = 0;
        const std::size_t n = utf8Sequence(text, i, code);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (code == '\n' || code == '\t' || code == '\r') {
            out += ' ';
        } else if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
            out += '?';
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

bool isUtf8(const std::string& text) {
    char32_t code = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8Sequence(text, i, code);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string base64(const std::string& bytes) {
    using namespace boost::archive::iterators;
    using ToBase64 = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
    std::string text(ToBase64(bytes.begin()), ToBase64(bytes.end()));
    text.append((3 - bytes.size() % 3) % 3, '=');
    return text;
}

// JSON text is Unicode, so a file name that is not UTF-8 prints with U+FFFD
// in place of its odd bytes, and no longer names the file. Such a path gets
// its bytes beside it, in base64, under the key with "Bytes" appended.
nlohmann::json withPathBytes(const nlohmann::json& record) {
    if (!record.is_object()) return record;
    nlohmann::json out = record;
    for (const char* key : {"path", "wav"}) {
        auto it = record.find(key);
        if (it != record.end() && it->is_string() && !isUtf8(it->get_ref<const std::string&>()))
            out[std::string(key) + "Bytes"] = base64(it->get_ref<const std::string&>());
    }
    return out;
}

}  // namespace

std::size_t displayWidth(const std::string& text) {
    std::size_t width = 0;
    for (const auto& g : widths().split(text)) width += g.width;
    return width;
}

std::string cellText(const nlohmann::json& value, bool keepEnd, std::size_t width) {
    std::string text;
    if (value.is_string()) {
        text = value.get<std::string>();
    } else if (!value.is_null()) {
        text = dumpLine(value);
    }
    return cutText(printable(text), width, keepEnd);
}

void clearProgressLine() {
    // Carriage return and erase-line leave the cursor where the line began.
    if (drawnLine != nullptr) std::cerr << "\r\033[K" << std::flush;
    drawnLine = nullptr;
}

void note(const std::string& text) {
    clearProgressLine();
    std::cerr << "ostra-host: " << text << "\n" << std::flush;
}

RecordWriter::RecordWriter(std::ostream& out, OutputFormat format, std::vector<std::string> columns)
    : out_(out), format_(format), columns_(std::move(columns)), fixedColumns_(!columns_.empty()) {}

void RecordWriter::record(const nlohmann::json& value) {
    if (format_ == OutputFormat::JsonLines) {
        clearProgressLine();
        out_ << dumpLine(withPathBytes(value)) << "\n";
        flushOutput(out_);
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
        clearProgressLine();
        out_ << dumpLine(value) << "\n";
        flushOutput(out_);
        return;
    }
    summaries_.push_back(value);
}

void RecordWriter::finish() {
    if (format_ == OutputFormat::JsonLines) return;
    clearProgressLine();
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
        std::vector<std::size_t> columnWidths;
        for (const auto& column : shown) columnWidths.push_back(displayWidth(printable(column)));
        for (const auto& row : rows_) {
            std::vector<std::string> line;
            for (std::size_t c = 0; c < shown.size(); ++c) {
                auto it = row.find(shown[c]);
                std::string text = it == row.end()
                                       ? std::string()
                                       : cellText(*it, isPathColumn(shown[c]), kMaxCellWidth);
                columnWidths[c] = std::max(columnWidths[c], displayWidth(text));
                line.push_back(std::move(text));
            }
            cells.push_back(std::move(line));
        }
        auto printLine = [&](const std::vector<std::string>& line) {
            std::string text;
            for (std::size_t c = 0; c < line.size(); ++c) {
                text += line[c];
                if (c + 1 < line.size())
                    text += std::string(columnWidths[c] - displayWidth(line[c]) + 2, ' ');
            }
            out_ << text << "\n";
        };
        std::vector<std::string> header;
        for (const auto& column : shown) header.push_back(printable(column));
        printLine(header);
        std::vector<std::string> rule;
        for (std::size_t w : columnWidths) rule.push_back(std::string(w, '-'));
        printLine(rule);
        for (const auto& line : cells) printLine(line);
    }
    bool first = rows_.empty();
    for (const auto& value : summaries_) {
        if (!first) out_ << "\n";
        first = false;
        if (value.is_object()) {
            for (const auto& item : value.items()) {
                out_ << printable(item.key()) << ": " << cellText(item.value(), false, 4096)
                     << "\n";
            }
        } else {
            out_ << cellText(value, false, 4096) << "\n";
        }
    }
    flushOutput(out_);
}

ProgressLine::ProgressLine(std::string label, std::string unit, std::string units,
                           std::int64_t total, bool enabled)
    : label_(std::move(label)),
      unit_(std::move(unit)),
      units_(std::move(units)),
      total_(total),
      enabled_(enabled),
      start_(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() {
    finish();
}

void ProgressLine::advance(std::int64_t items) {
    done_ += items;
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (everDrawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    everDrawn_ = true;
    draw();
}

void ProgressLine::draw() {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0.0;
    char text[512];
    if (total_ >= 0) {
        const double left = rate > 0 ? static_cast<double>(total_ - done_) / rate : 0.0;
        std::snprintf(text, sizeof text, "%s: %lld/%lld %s, %.1f/s, ETA %.0fs", label_.c_str(),
                      static_cast<long long>(done_), static_cast<long long>(total_),
                      (total_ == 1 ? unit_ : units_).c_str(), rate, left < 0 ? 0.0 : left);
    } else {
        std::snprintf(text, sizeof text, "%s: %lld %s, %.1f/s", label_.c_str(),
                      static_cast<long long>(done_), (done_ == 1 ? unit_ : units_).c_str(), rate);
    }
    // A line longer than the terminal wraps, and the erase before the next
    // draw would only reach its last row: cut it to the width of the moment
    // (the terminal may have been resized).
    std::string line = text;
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
        line.size() >= size.ws_col)
        line.resize(size.ws_col - 1u);
    std::cerr << "\r\033[K" << line << std::flush;
    drawnLine = this;
}

void ProgressLine::finish() {
    if (drawnLine == this) clearProgressLine();
    enabled_ = false;
}

}  // namespace Ostra::host
