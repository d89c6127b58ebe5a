#pragma once

#include <absl/container/flat_hash_map.h>

#include <boost/shared_ptr.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "amf/amf0.h"
#include "scan/IMediaProcessor.h"

namespace Ostra {
namespace ITunes {

// Store functions: set one record key from a library value, given as the
// name of its element ("integer", "string", "date", ...; "bool" for the
// true and false elements) and its text.
typedef void (*StoreFunction)(amf::amf_object* record, std::string& key, const std::string& type,
                              std::string& value);

void storeString(amf::amf_object* record, std::string& key, const std::string& type,
                 std::string& value);
// Reads the whole text as a double; text that is not a number sets nothing.
void storeNumber(amf::amf_object* record, std::string& key, const std::string& type,
                 std::string& value);
// Seconds since 1970. A number counts from the library's 1904 epoch; a date
// element holds an ISO 8601 UTC time, "2019-05-01T12:00:00Z", as property
// lists write them. Text that reads as neither sets nothing.
void storeEpoch(amf::amf_object* record, std::string& key, const std::string& type,
                std::string& value);
void storeBoolean(amf::amf_object* record, std::string& key, const std::string& type,
                  std::string& value);
void storeTrue(amf::amf_object* record, std::string& key, const std::string& type,
               std::string& value);

// Library key -> (record key, store function). Built at program load and
// only read afterwards, so concurrent scans share them. Every key of every
// track is looked up, most of them absent: a hash map answers with one
// comparison at most.
typedef absl::flat_hash_map<std::string, std::pair<std::string, StoreFunction>> AttributeTable;
extern const AttributeTable track_attributes;
extern const AttributeTable playlist_attributes;

// Turns the key/value pairs of one section of the library into records and
// hands them to the processor. Used by one scanner on one thread.
class IITunesParser {
  public:
    explicit IITunesParser(boost::shared_ptr<IMediaProcessor> processor) : m_processor(processor) {}
    virtual ~IITunesParser() = default;
    IITunesParser(const IITunesParser&) = delete;
    IITunesParser& operator=(const IITunesParser&) = delete;

    // One element end: its path ("/plist/dict/..."), name and trimmed text.
    // The parser may take the text's storage: the scanner empties it after
    // every element anyway.
    virtual void parseElement(std::string& path, std::string& name, std::string& text) = 0;

  protected:
    void clearKeyAndValue();
    // The value of a value element: "true"/"false" elements carry their name.
    // Takes the text's storage; the caller empties the text afterwards.
    void takeValue(const std::string& name, std::string& text);

    boost::shared_ptr<IMediaProcessor> m_processor;
    std::string m_key;
    std::string m_type;
    std::string m_value;
};

// The Tracks dictionary: one song record per track dictionary.
class ITunesTrackParser : public IITunesParser {
  public:
    explicit ITunesTrackParser(boost::shared_ptr<IMediaProcessor> processor);
    void parseElement(std::string& path, std::string& name, std::string& text) override;

  private:
    void storeLocation();

    std::unique_ptr<amf::amf_object> m_track;  // the track being read; unsent when dropped
};

// The Playlists array: one playlist record per playlist dictionary, except
// the library ("Master") and the special ("Distinguished Kind") playlists.
//
// The processor drops every item that names no song it has taken in, and it
// has taken in every track by the time the playlists are read, so only the
// items it knows are kept, each under the index the whole list would have
// given it (the processor visits them in the byte order of those keys).
// Memory therefore follows the items that reach the host, not the items in
// the document, and a playlist keeps at most kMaxPlaylistItems of them.
class ITunesPlaylistParser : public IITunesParser {
  public:
    // Far more than a response frame can carry: a list this long could not
    // reach the host anyway.
    static constexpr std::size_t kMaxPlaylistItems = 1 << 20;

    explicit ITunesPlaylistParser(boost::shared_ptr<IMediaProcessor> processor);
    void parseElement(std::string& path, std::string& name, std::string& text) override;

  private:
    void addItem();
    // Moves the items kept after the first dropped one into m_songs.
    void takeInLaterItems();

    std::unique_ptr<amf::amf_object> m_playlist;
    std::unique_ptr<amf::amf_ecma_array> m_songs;
    // Items kept after the first dropped one, with their indices. Their keys
    // do not continue the array's run of indices from "0", so the array keeps
    // them sorted by key bytes, where numeric order would insert each one in
    // the middle ("10" before "2"): they are put in once, in key order, when
    // the playlist ends.
    std::vector<std::pair<std::string, std::string>> m_laterItems;
    std::size_t m_items = 0;  // "Track ID" items seen in this playlist, kept or not
    bool m_inItems = false;
    bool m_skip = false;
};

}  // namespace ITunes
}  // namespace Ostra
