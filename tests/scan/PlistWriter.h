// Writes iTunes-style property-list libraries for the tests: a Tracks
// dictionary and a Playlists array, with values written as given.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace scantest {

// One key and its value element, written verbatim (e.g. "<integer>3</integer>").
typedef std::pair<std::string, std::string> Entry;

inline std::string xmlInteger(long long v) {
    return "<integer>" + std::to_string(v) + "</integer>";
}
inline std::string xmlString(const std::string& v) {
    return "<string>" + v + "</string>";
}
inline std::string xmlDate(const std::string& v) {
    return "<date>" + v + "</date>";
}
inline std::string xmlBool(bool v) {
    return v ? "<true/>" : "<false/>";
}

class PlistWriter {
  public:
    void track(const std::string& trackId, const std::vector<Entry>& entries) {
        tracks_ += "\t\t<key>" + trackId + "</key>\n\t\t<dict>\n";
        for (const auto& e : entries)
            tracks_ += "\t\t\t<key>" + e.first + "</key>" + e.second + "\n";
        tracks_ += "\t\t</dict>\n";
    }
    // items: the "Track ID" of each playlist item; hasItems false leaves the
    // "Playlist Items" key out.
    void playlist(const std::vector<Entry>& entries, const std::vector<std::string>& items,
                  bool hasItems = true) {
        playlists_ += "\t\t<dict>\n";
        for (const auto& e : entries)
            playlists_ += "\t\t\t<key>" + e.first + "</key>" + e.second + "\n";
        if (hasItems) {
            playlists_ += "\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n";
            for (const auto& id : items)
                playlists_ += "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>" + id +
                              "</integer>\n\t\t\t\t</dict>\n";
            playlists_ += "\t\t\t</array>\n";
        }
        playlists_ += "\t\t</dict>\n";
    }
    // Tracks before Playlists, as the desktop application writes them, or
    // Playlists first, as tools that sort keys do.
    std::string document(const std::string& doctype = kDoctype, bool playlistsFirst = false) const {
        const std::string tracks = "\t<key>Tracks</key>\n\t<dict>\n" + tracks_ + "\t</dict>\n";
        const std::string playlists =
            "\t<key>Playlists</key>\n\t<array>\n" + playlists_ + "\t</array>\n";
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype +
               "<plist version=\"1.0\">\n<dict>\n"
               "\t<key>Major Version</key><integer>1</integer>\n"
               "\t<key>Music Folder</key><string>file:///Users/me/Music/</string>\n" +
               (playlistsFirst ? playlists + tracks : tracks + playlists) + "</dict>\n</plist>\n";
    }

    static constexpr const char* kDoctype =
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

  private:
    std::string tracks_;
    std::string playlists_;
};

}  // namespace scantest
