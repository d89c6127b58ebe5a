#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "scan/ITunesParsers.h"
#include "scan/MediaScanner.h"

namespace Ostra {
namespace ITunes {

// Library file names tried in order, each appended to $HOME; the first that
// is a regular file is the library.
extern const std::vector<std::string> ITUNES_LIBRARY_FILEPATHS;

// Where a library document's bytes come from: read from the start once, and
// once more when its playlists come before its tracks. Used by the thread
// that parses the document.
class LibrarySource {
  public:
    virtual ~LibrarySource() = default;
    // Up to size bytes from offset into buffer, count in got (0 at the end);
    // false on a read error.
    virtual bool readAt(std::uint64_t offset, char* buffer, std::size_t size, std::size_t& got) = 0;
    virtual bool canReadAgain() const = 0;
};

// Streams the iTunes library (an XML property list) through expat, never
// holding the document: an element-path state machine picks the Tracks and
// Playlists sections and hands each to its section parser, which sends every
// track and playlist to the processor as soon as it closes.
//
// Playlists name their songs by track id, so they are read after the tracks
// whatever the order of the two in the document: when "Playlists" comes
// first (as in libraries written with sorted keys), the first pass skips it
// and a second pass, from the start of the document up to the key "Tracks",
// reads only the playlists. The host sees what a document with its tracks
// first gives.
//
// expat runs ahead of the records on a thread of its own: it turns the
// document into a bounded queue of element events (start, text, end), which
// the request's thread replays through startElement, characterData and
// endElement in document order. Tokenising the document costs about as much
// as everything done with its elements, so the two halves overlap.
//
// The document may declare no entities, elements, attribute lists or
// notations (a declaration stops the parse as an error), so nothing expands
// and the DTD stays empty; no external entity or DTD is ever read. A token
// (a tag, a comment, ...) over 1 MiB, more than 256 levels of nesting, a
// name over 4 KiB or over 64 distinct names stop the parse the same way, so
// any document takes linear time and bounded memory. Used by one request's
// worker thread only.
class ITunesMediaScanner : public MediaScanner {
  public:
    explicit ITunesMediaScanner(boost::shared_ptr<IMediaProcessor> processor);
    ~ITunesMediaScanner() override;

    bool isAvailable() override;
    virtual bool findITunesLibraryPath(std::string& path);
    // Parses until the end of the stream or the first XML error, which is
    // printed on standard output; records sent before it stand. The stream
    // is read from where it stands; playlists that come before the tracks
    // are read in a second pass when the stream can seek back.
    virtual void parseITunesLibrary(std::istream& in);
    void parseITunesLibrary(LibrarySource& source);

  protected:
    void doScan() override;
    virtual void startElement(const char* name, const char** attributes);
    virtual void endElement(const char* name);
    virtual void characterData(const char* text, int length);
    virtual void parseElement(std::string& path, std::string& name, std::string& text);

  private:
    enum class Pass {
        Whole,      // everything but playlists that come before the tracks
        Playlists,  // those playlists, up to the key "Tracks"
    };
    void parsePass(LibrarySource& source, Pass pass);
    // Replays one chunk of element events (see ExpatReadAhead).
    void replay(const std::string& events);

    std::string m_characterText;
    std::string m_elementPath;
    std::string m_elementName;  // of the element ending, kept for its storage
    std::unique_ptr<IITunesParser> m_parser;
    Pass m_pass = Pass::Whole;
    bool m_canReadAgain = false;
    bool m_tracksSeen = false;         // the key "Tracks" has come in this pass
    bool m_playlistsDeferred = false;  // the whole pass skipped playlists before the tracks
    bool m_passOver = false;           // the playlists pass reached the tracks
};

}  // namespace ITunes
}  // namespace Ostra
