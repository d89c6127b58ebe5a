#pragma once

#include <absl/container/flat_hash_map.h>

#include <boost/shared_ptr.hpp>
#include <memory>
#include <string>
#include <utility>

#include "amf/amf0.h"
#include "scan/IMediaProcessor.h"

namespace Ostra {
namespace ITunes {

// Store functions: set one record key from the text of a library value.
typedef void (*StoreFunction)(amf::amf_object* record, std::string& key, std::string& value);

void storeString(amf::amf_object* record, std::string& key, std::string& value);
// Reads the whole text as a double; text that is not a number sets nothing.
void storeNumber(amf::amf_object* record, std::string& key, std::string& value);
// As storeNumber, moved from the library's 1904 epoch to 1970.
void storeEpoch(amf::amf_object* record, std::string& key, std::string& value);
void storeBoolean(amf::amf_object* record, std::string& key, std::string& value);
void storeTrue(amf::amf_object* record, std::string& key, std::string& value);

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
class ITunesPlaylistParser : public IITunesParser {
  public:
    explicit ITunesPlaylistParser(boost::shared_ptr<IMediaProcessor> processor);
    void parseElement(std::string& path, std::string& name, std::string& text) override;

  private:
    std::unique_ptr<amf::amf_object> m_playlist;
    std::unique_ptr<amf::amf_ecma_array> m_songs;
    bool m_inItems = false;
    bool m_skip = false;
};

}  // namespace ITunes
}  // namespace Ostra
