#pragma once

#include <expat.h>

#include <exception>
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

    static void XML_startElement(void* userData, const char* name, const char** attributes);
    static void XML_endElement(void* userData, const char* name);
    static void XML_characterData(void* userData, const char* text, int length);

  protected:
    void doScan() override;
    virtual void startElement(const char* name, const char** attributes);
    virtual void endElement(const char* name);
    virtual void characterData(const char* text, int length);
    virtual void parseElement(std::string& path, std::string& name, std::string& text);

  private:
    static void XML_entityDeclaration(void* userData, const char* entityName, int isParameterEntity,
                                      const char* value, int valueLength, const char* base,
                                      const char* systemId, const char* publicId,
                                      const char* notationName);
    // Ends the parse from inside a callback; XML_Parse then reports an error.
    void abortParse();
    // Runs one callback body; an exception stops the parse and is rethrown
    // once expat has returned, so it never unwinds through the C library.
    template <class Body>
    void guarded(Body body);

    std::string m_characterText;
    std::string m_elementPath;
    std::string m_elementName;  // of the element ending, kept for its storage
    int m_depth = 0;
    std::unique_ptr<IITunesParser> m_parser;
    XML_Parser m_xml = nullptr;  // during parseITunesLibrary only
    std::exception_ptr m_failure;
};

}  // namespace ITunes
}  // namespace Ostra
