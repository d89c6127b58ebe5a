#include "scan/ITunesMediaScanner.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <boost/thread/thread.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "scan/PathUtils.h"

namespace Ostra {
namespace ITunes {

const std::vector<std::string> ITUNES_LIBRARY_FILEPATHS = {
    "/Music/iTunes/iTunes Music Library.xml",
    "/Music/iTunes/iTunes Library.xml",
};

namespace {

const std::size_t kReadSize = 1024;
// A property list nests a handful of levels; deeper documents are refused so
// the element path and expat's own stack stay small.
const int kMaxDepth = 256;
// Text beyond this per element is dropped: no library value comes near it,
// and it keeps one huge text node from taking memory with it.
const std::size_t kMaxCharacterText = 1024 * 1024;

struct ParserFree {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

}  // namespace

ITunesMediaScanner::ITunesMediaScanner(boost::shared_ptr<IMediaProcessor> processor)
    : MediaScanner(processor) {}

ITunesMediaScanner::~ITunesMediaScanner() = default;

bool ITunesMediaScanner::isAvailable() {
    std::string scratch;
    return findITunesLibraryPath(scratch);
}

bool ITunesMediaScanner::findITunesLibraryPath(std::string& path) {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return false;
    for (const auto& candidate : ITUNES_LIBRARY_FILEPATHS) {
        const std::string full = std::string(home) + candidate;
        boost::system::error_code ec;
        const boost::filesystem::file_status status = boost::filesystem::status(full, ec);
        if (!ec && boost::filesystem::exists(status)) {
            path = full;
            return true;
        }
    }
    return false;
}

void ITunesMediaScanner::doScan() {
    std::string path;
    if (!findITunesLibraryPath(path)) return;
    // Only a regular file is opened: opening a FIFO would block the scan
    // until a writer came, and a directory has nothing to read.
    boost::system::error_code ec;
    if (!boost::filesystem::is_regular_file(boost::filesystem::status(path, ec)) || ec) return;
    std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
    if (!in.is_open()) return;
    parseITunesLibrary(in);
}

void ITunesMediaScanner::parseITunesLibrary(std::istream& in) {
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) return;
    XML_SetElementHandler(parser.get(), &XML_startElement, &XML_endElement);
    XML_SetCharacterDataHandler(parser.get(), &XML_characterData);
    XML_SetEntityDeclHandler(parser.get(), &XML_entityDeclaration);
    XML_SetUserData(parser.get(), this);
    // m_xml lives exactly as long as the parser, whichever way this returns.
    struct Attached {
        XML_Parser& slot;
        ~Attached() { slot = nullptr; }
    } attached{m_xml};
    m_xml = parser.get();
    m_failure = nullptr;
    m_characterText.clear();
    m_elementPath.clear();
    m_depth = 0;

    char buffer[kReadSize];
    for (;;) {
        boost::this_thread::interruption_point();
        in.read(buffer, sizeof buffer);
        if (in.bad()) break;
        const bool final = in.eof();
        const XML_Status status =
            XML_Parse(parser.get(), buffer, static_cast<int>(in.gcount()), final ? 1 : 0);
        if (m_failure) std::rethrow_exception(m_failure);
        if (status == XML_STATUS_ERROR) {
            std::cout << "ITunesMediaScanner error: "
                      << XML_ErrorString(XML_GetErrorCode(parser.get())) << " at line "
                      << XML_GetCurrentLineNumber(parser.get()) << std::endl;
            break;
        }
        if (final) break;
    }
    m_parser.reset();
}

void ITunesMediaScanner::XML_startElement(void* userData, const char* name,
                                          const char** attributes) {
    auto* self = static_cast<ITunesMediaScanner*>(userData);
    self->guarded([&] { self->startElement(name, attributes); });
}

void ITunesMediaScanner::XML_endElement(void* userData, const char* name) {
    auto* self = static_cast<ITunesMediaScanner*>(userData);
    self->guarded([&] { self->endElement(name); });
}

void ITunesMediaScanner::XML_characterData(void* userData, const char* text, int length) {
    auto* self = static_cast<ITunesMediaScanner*>(userData);
    self->guarded([&] { self->characterData(text, length); });
}

void ITunesMediaScanner::XML_entityDeclaration(void* userData, const char*, int, const char*, int,
                                               const char*, const char*, const char*, const char*) {
    static_cast<ITunesMediaScanner*>(userData)->abortParse();
}

void ITunesMediaScanner::abortParse() {
    if (m_xml != nullptr) XML_StopParser(m_xml, XML_FALSE);
}

template <class Body>
void ITunesMediaScanner::guarded(Body body) {
    if (m_failure) return;
    try {
        body();
    } catch (...) {
        m_failure = std::current_exception();
        abortParse();
    }
}

void ITunesMediaScanner::startElement(const char* name, const char** attributes) {
    (void)attributes;
    if (++m_depth > kMaxDepth) {
        abortParse();
        return;
    }
    m_elementPath.push_back('/');
    m_elementPath.append(name);
}

void ITunesMediaScanner::endElement(const char* name) {
    m_elementName.assign(name);
    // Leading white space never got in (characterData); trim the end.
    std::size_t end = m_characterText.size();
    while (end > 0 && IsWhiteSpace()(m_characterText[end - 1])) --end;
    m_characterText.resize(end);
    parseElement(m_elementPath, m_elementName, m_characterText);
    m_characterText.clear();
    const std::string::size_type cut = m_elementPath.rfind('/');
    m_elementPath.erase(cut == std::string::npos ? 0 : cut);
    --m_depth;
}

void ITunesMediaScanner::characterData(const char* text, int length) {
    // The text is trimmed at the element's end: white space before the first
    // other character is dropped here, so the indentation expat reports
    // between elements is never stored.
    if (m_characterText.empty()) {
        while (length > 0 && IsWhiteSpace()(*text)) {
            ++text;
            --length;
        }
    }
    if (length <= 0 || m_characterText.size() >= kMaxCharacterText) return;
    const std::size_t room = kMaxCharacterText - m_characterText.size();
    m_characterText.append(text, std::min(room, static_cast<std::size_t>(length)));
}

void ITunesMediaScanner::parseElement(std::string& path, std::string& name, std::string& text) {
    if (EqualsLiteral(path, "/plist/dict/key") && EqualsLiteral(text, "Tracks")) {
        m_parser.reset(new ITunesTrackParser(processor_));
    } else if (EqualsLiteral(path, "/plist/dict/key") && EqualsLiteral(text, "Playlists")) {
        m_parser.reset(new ITunesPlaylistParser(processor_));
    } else if (EqualsLiteral(path, "/plist/dict/dict")) {
        m_parser.reset();
    } else if (m_parser) {
        m_parser->parseElement(path, name, text);
    }
}

}  // namespace ITunes
}  // namespace Ostra
