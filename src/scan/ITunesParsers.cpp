#include "scan/ITunesParsers.h"

#include <algorithm>
#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/lexical_cast/try_lexical_convert.hpp>
#include <cstdint>

#include "util/PathUtils.h"

namespace Ostra {
namespace ITunes {

namespace {

// Seconds from 1904-01-01, the library's epoch, to 1970-01-01.
const double kEpochOffset = 2082844800.0;

// The whole text as a double, by lexical_cast's rules. Dates stored as text
// fail here on every track, so the failure must not cost an exception.
bool readNumber(const std::string& text, double& number) {
    // Most values are whole numbers of a few digits: read those directly. Up
    // to 15 digits the result is exact, as lexical_cast's is.
    const std::size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() > sign && text.size() - sign <= 15) {
        std::int64_t whole = 0;
        std::size_t i = sign;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            whole = whole * 10 + (text[i] - '0');
        if (i == text.size()) {
            number = sign ? -static_cast<double>(whole) : static_cast<double>(whole);
            return true;
        }
    }
    // A colon is in no number text but "nan(...)", whose brackets may hold
    // anything; the dates stored as ISO texts all have one.
    if (text.find(':') != std::string::npos && text.find('(') == std::string::npos) return false;
    double parsed = 0;
    if (!boost::conversion::try_lexical_convert(text, parsed)) return false;
    number = parsed;
    return true;
}

// The digits text[at, at + count) as a number; false when one is not a digit.
bool readDigits(const std::string& text, std::size_t at, std::size_t count, int& number) {
    number = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + (text[i] - '0');
    }
    return true;
}

// A property list's date, "2019-05-01T12:00:00Z" (UTC, whole seconds, the
// only form they write), as seconds since 1970. Checked before the calendar
// sees it, so a malformed date costs no exception.
bool readDate(const std::string& text, double& seconds) {
    if (text.size() != 20) return false;
    int year, month, day, hour, minute, second;
    if (!readDigits(text, 0, 4, year) || text[4] != '-' || !readDigits(text, 5, 2, month) ||
        text[7] != '-' || !readDigits(text, 8, 2, day) || text[10] != 'T' ||
        !readDigits(text, 11, 2, hour) || text[13] != ':' || !readDigits(text, 14, 2, minute) ||
        text[16] != ':' || !readDigits(text, 17, 2, second) || text[19] != 'Z')
        return false;
    typedef boost::gregorian::gregorian_calendar Calendar;
    // The calendar's years run from 1400.
    if (year < 1400 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
        second > 59 || day > Calendar::end_of_month_day(year, month))
        return false;
    const long days =
        (boost::gregorian::date(year, month, day) - boost::gregorian::date(1970, 1, 1)).days();
    seconds = static_cast<double>(days) * 86400.0 + hour * 3600 + minute * 60 + second;
    return true;
}

}  // namespace

void storeString(amf::amf_object* record, std::string& key, const std::string&,
                 std::string& value) {
    record->set_string_property(key, value);
}

void storeNumber(amf::amf_object* record, std::string& key, const std::string&,
                 std::string& value) {
    double number = 0;
    if (readNumber(value, number)) record->set_numeric_property(key, number);
}

void storeEpoch(amf::amf_object* record, std::string& key, const std::string& type,
                std::string& value) {
    double seconds = 0;
    if (util::EqualsLiteral(type, "date")) {
        if (readDate(value, seconds)) record->set_numeric_property(key, seconds);
    } else if (readNumber(value, seconds)) {
        record->set_numeric_property(key, seconds - kEpochOffset);
    }
}

void storeBoolean(amf::amf_object* record, std::string& key, const std::string&,
                  std::string& value) {
    record->set_bool_property(key, value == "true");
}

void storeTrue(amf::amf_object* record, std::string& key, const std::string&, std::string&) {
    record->set_bool_property(key, true);
}

const AttributeTable track_attributes = {
    {"Track ID", {"songPlistId", storeString}},
    {"Kind", {"kind", storeString}},
    {"Name", {"title", storeString}},
    {"Artist", {"artist", storeString}},
    {"Album Artist", {"albumArtist", storeString}},
    {"Album", {"album", storeString}},
    {"Compilation", {"isCompilation", storeBoolean}},
    {"Protected", {"isDRM", storeBoolean}},
    {"Podcast", {"isPodcast", storeBoolean}},
    {"Size", {"size", storeNumber}},
    // Libraries write "Disc Number"; both spellings fill the record's key,
    // the later in the track winning as for any key.
    {"Disk Number", {"diskNumber", storeNumber}},
    {"Disc Number", {"diskNumber", storeNumber}},
    {"Track Number", {"trackNumber", storeNumber}},
    {"Total Time", {"duration", storeNumber}},
    {"Date Added", {"dateAdded", storeEpoch}},
    {"Play Count", {"playCount", storeNumber}},
    {"Play Date", {"lastPlayDate", storeEpoch}},
};

const AttributeTable playlist_attributes = {
    {"Name", {"name", storeString}},
    {"Playlist Persistent ID", {"id", storeString}},
    {"Smart Info", {"isSmartList", storeTrue}},
};

void IITunesParser::clearKeyAndValue() {
    m_key.clear();
    m_type.clear();
    m_value.clear();
}

void IITunesParser::takeValue(const std::string& name, std::string& text) {
    if (util::EqualsLiteral(name, "true") || util::EqualsLiteral(name, "false")) {
        m_type = "bool";
        m_value = name;
    } else {
        m_type = name;
        m_value.swap(text);
    }
}

ITunesTrackParser::ITunesTrackParser(boost::shared_ptr<IMediaProcessor> processor)
    : IITunesParser(processor) {}

void ITunesTrackParser::parseElement(std::string& path, std::string& name, std::string& text) {
    if (util::EqualsLiteral(path, "/plist/dict/dict/key")) {
        clearKeyAndValue();
        m_track.reset(new amf::amf_object());
    } else if (util::EqualsLiteral(path, "/plist/dict/dict/dict")) {
        if (m_track) m_processor->processSongObject(m_track.get());
        m_track.reset();
    } else if (util::EqualsLiteral(path, "/plist/dict/dict/dict/key")) {
        m_key.swap(text);
    } else if (!m_key.empty() && m_track) {
        takeValue(name, text);
        if (util::EqualsLiteral(m_key, "Location")) {
            storeLocation();
            return;
        }
        auto found = track_attributes.find(m_key);
        if (found == track_attributes.end()) return;
        std::string recordKey = found->second.first;
        found->second.second(m_track.get(), recordKey, m_type, m_value);
    }
}

// file://localhost/Users/x/a.mp3 and file:///Users/x/a.mp3 both give
// /Users/x/a.mp3: the host part, up to the first "/" after the scheme, goes.
void ITunesTrackParser::storeLocation() {
    static const std::string scheme("file://");
    if (m_value.size() < 8 || m_value.compare(0, scheme.size(), scheme) != 0) return;
    const std::string::size_type slash = m_value.find('/', scheme.size());
    if (slash == std::string::npos) return;
    m_track->set_string_property("path", util::UriDecode(m_value.substr(slash)));
}

ITunesPlaylistParser::ITunesPlaylistParser(boost::shared_ptr<IMediaProcessor> processor)
    : IITunesParser(processor),
      m_playlist(new amf::amf_object()),
      m_songs(new amf::amf_ecma_array()) {}

void ITunesPlaylistParser::parseElement(std::string& path, std::string& name, std::string& text) {
    if (util::EqualsLiteral(path, "/plist/dict/array/dict")) {
        if (!m_skip) {
            takeInLaterItems();
            m_playlist->set_property("songs", std::move(m_songs));
            m_playlist->set_string_property("source", "iTunes");
            m_processor->processPlaylistObject(m_playlist.get());
        }
        m_playlist.reset(new amf::amf_object());
        m_songs.reset(new amf::amf_ecma_array());
        m_laterItems.clear();
        m_items = 0;
        clearKeyAndValue();
        m_inItems = false;
        m_skip = false;
    } else if (util::EqualsLiteral(path, "/plist/dict/array/dict/key")) {
        if (util::EqualsLiteral(text, "Playlist Items")) {
            m_inItems = true;
            clearKeyAndValue();
        } else {
            m_key.swap(text);
        }
    } else if (util::EqualsLiteral(path, "/plist/dict/array/dict/array/dict/key")) {
        m_key.swap(text);
    } else if (!m_key.empty()) {
        takeValue(name, text);
        if (!m_skip) {
            if (util::EqualsLiteral(m_key, "Master") ||
                util::EqualsLiteral(m_key, "Distinguished Kind")) {
                m_skip = true;
                // The playlist is not sent: what it has collected can go now.
                m_songs->remove_all();
                m_laterItems.clear();
            } else if (m_inItems && util::EqualsLiteral(m_key, "Track ID")) {
                addItem();
            } else {
                auto found = playlist_attributes.find(m_key);
                if (found != playlist_attributes.end()) {
                    std::string recordKey = found->second.first;
                    found->second.second(m_playlist.get(), recordKey, m_type, m_value);
                }
            }
        }
        clearKeyAndValue();
    }
}

void ITunesPlaylistParser::addItem() {
    const std::size_t index = m_items++;
    if (m_songs->get_count() + m_laterItems.size() >= kMaxPlaylistItems ||
        !m_processor->knowsSongPlaylistId(m_value))
        return;
    if (index == m_songs->get_count()) {
        m_songs->push_back(std::unique_ptr<amf::amf0_data_type>(new amf::amf_string(m_value)));
    } else {
        m_laterItems.emplace_back(std::to_string(index), std::move(m_value));
    }
}

void ITunesPlaylistParser::takeInLaterItems() {
    std::sort(m_laterItems.begin(), m_laterItems.end());
    for (auto& item : m_laterItems) {
        m_songs->set_property(item.first, std::unique_ptr<amf::amf0_data_type>(
                                              new amf::amf_string(std::move(item.second))));
    }
    m_laterItems.clear();
}

}  // namespace ITunes
}  // namespace Ostra
