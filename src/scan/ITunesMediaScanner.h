#pragma once

#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "scan/ITunesParsers.h"
#include "scan/MediaScanner.h"

namespace Ostra {
namespace ITunes {

// Library file names tried in order, each appended to $HOME.
extern const std::vector<std::string> ITUNES_LIBRARY_FILEPATHS;

// Streams the iTunes library (an XML property list) through expat in small
// reads, never holding the document: an element-path state machine picks the
// Tracks and Playlists sections and hands each to its section parser, which
// sends every track and playlist to the processor as soon as it closes.
//
// expat runs ahead of the records on a thread of its own: it turns the
// document into a bounded queue of element events (start, text, end), which
// the request's thread replays through startElement, characterData and
// endElement in document order. Tokenising the document costs about as much
// as everything done with its elements, so the two halves overlap.
//
// The document may declare no entities (an entity declaration stops the
// parse as an error), so entity expansion cannot blow up and no external
// entity or DTD is ever read. Used by one request's worker thread only.
class ITunesMediaScanner : public MediaScanner {
  public:
    explicit ITunesMediaScanner(boost::shared_ptr<IMediaProcessor> processor);
    ~ITunesMediaScanner() override;

    bool isAvailable() override;
    virtual bool findITunesLibraryPath(std::string& path);
    // Parses until the end of the stream or the first XML error, which is
    // printed on standard output; records sent before it stand.
    virtual void parseITunesLibrary(std::istream& in);

  protected:
    void doScan() override;
    virtual void startElement(const char* name, const char** attributes);
    virtual void endElement(const char* name);
    virtual void characterData(const char* text, int length);
    virtual void parseElement(std::string& path, std::string& name, std::string& text);

  private:
    // Replays one chunk of element events (see ExpatReadAhead).
    void replay(const std::string& events);

    std::string m_characterText;
    std::string m_elementPath;
    std::string m_elementName;  // of the element ending, kept for its storage
    std::unique_ptr<IITunesParser> m_parser;
};

}  // namespace ITunes
}  // namespace Ostra
