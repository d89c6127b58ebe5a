#include "scan/ITunesMediaScanner.h"

#include <expat.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
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
// Likewise for element names: a property list's longest is "integer", and
// with both limits the element path stays under a megabyte.
const std::size_t kMaxNameLength = 4096;
// Text beyond this per element is dropped: no library value comes near it,
// and it keeps one huge text node from taking memory with it.
const std::size_t kMaxCharacterText = 1024 * 1024;
// Events travel in chunks of about this many bytes, at most kQueuedChunks
// waiting: the read-ahead holds well under a megabyte whatever the document.
const std::size_t kChunkBytes = 64 * 1024;
const std::size_t kQueuedChunks = 4;

struct ParserFree {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

// Runs expat over the stream on its own thread and queues what it reports as
// element events, each packed into a chunk of bytes:
//   'S' name '\0'               element start
//   'T' length (4 bytes) text   character data
//   'E'                         element end (of the innermost open element:
//                               expat has checked that the names match)
// Element names cannot contain a NUL byte. A chunk may run one event past
// kChunkBytes; expat hands over text in pieces no larger than a read.
class ExpatReadAhead {
  public:
    explicit ExpatReadAhead(std::istream& in) : in_(in) {
        thread_ = boost::thread([this] { run(); });
    }
    ~ExpatReadAhead() {
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ExpatReadAhead(const ExpatReadAhead&) = delete;
    ExpatReadAhead& operator=(const ExpatReadAhead&) = delete;

    // Swaps the next chunk into events (its old storage goes back for reuse);
    // false once the document is done. An interruption point.
    bool next(std::string& events) {
        boost::unique_lock<boost::mutex> lock(mutex_);
        while (full_.empty() && !done_) changed_.wait(lock);
        if (full_.empty()) return false;
        events.clear();
        spare_.push_back(std::move(events));
        events = std::move(full_.front());
        full_.pop_front();
        changed_.notify_all();
        return true;
    }
    // After next() returned false: the line to print for an XML error (empty
    // when there was none), and an exception raised on the reading thread.
    const std::string& errorLine() const { return errorLine_; }
    std::exception_ptr failure() const { return failure_; }

  private:
    void run() {
        try {
            parse();
        } catch (...) {
            failure_ = std::current_exception();
        }
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            if (!current_.empty()) full_.push_back(std::move(current_));
            done_ = true;
        }
        changed_.notify_all();
    }

    void parse() {
        std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
        if (!parser) return;
        xml_ = parser.get();
        XML_SetElementHandler(xml_, &XML_startElement, &XML_endElement);
        XML_SetCharacterDataHandler(xml_, &XML_characterData);
        XML_SetEntityDeclHandler(xml_, &XML_entityDeclaration);
        XML_SetUserData(xml_, this);
        current_.reserve(kChunkBytes + kReadSize);
        char buffer[kReadSize];
        while (!stopping()) {
            in_.read(buffer, sizeof buffer);
            if (in_.bad()) break;
            const bool final = in_.eof();
            const XML_Status status =
                XML_Parse(xml_, buffer, static_cast<int>(in_.gcount()), final ? 1 : 0);
            if (failure_) std::rethrow_exception(failure_);
            if (status == XML_STATUS_ERROR) {
                if (!stopping())
                    errorLine_ = std::string("ITunesMediaScanner error: ") +
                                 XML_ErrorString(XML_GetErrorCode(xml_)) + " at line " +
                                 std::to_string(XML_GetCurrentLineNumber(xml_));
                break;
            }
            if (final) break;
        }
    }

    bool stopping() {
        boost::lock_guard<boost::mutex> lock(mutex_);
        return stop_;
    }

    // Queues the current chunk once it is full, waiting for room; stops the
    // parse when the consumer has gone.
    void handOver() {
        if (current_.size() < kChunkBytes) return;
        boost::unique_lock<boost::mutex> lock(mutex_);
        while (full_.size() >= kQueuedChunks && !stop_) changed_.wait(lock);
        if (stop_) {
            XML_StopParser(xml_, XML_FALSE);
            return;
        }
        full_.push_back(std::move(current_));
        if (spare_.empty()) {
            current_ = std::string();
        } else {
            current_ = std::move(spare_.back());
            spare_.pop_back();
        }
        lock.unlock();
        changed_.notify_all();
        current_.reserve(kChunkBytes + kReadSize);
    }

    // The callbacks run inside expat: nothing may unwind through it.
    template <class Body>
    static void guarded(void* userData, Body body) {
        auto* self = static_cast<ExpatReadAhead*>(userData);
        if (self->failure_) return;
        try {
            body(*self);
        } catch (...) {
            self->failure_ = std::current_exception();
            XML_StopParser(self->xml_, XML_FALSE);
        }
    }

    static void XMLCALL XML_startElement(void* userData, const char* name, const char**) {
        guarded(userData, [name](ExpatReadAhead& self) {
            const std::size_t length = std::strlen(name);
            if (++self.depth_ > kMaxDepth || length > kMaxNameLength) {
                XML_StopParser(self.xml_, XML_FALSE);
                return;
            }
            self.current_.push_back('S');
            self.current_.append(name, length + 1);  // with its NUL
            self.handOver();
        });
    }

    static void XMLCALL XML_endElement(void* userData, const char*) {
        guarded(userData, [](ExpatReadAhead& self) {
            --self.depth_;
            self.textSinceEnd_ = false;
            self.current_.push_back('E');
            self.handOver();
        });
    }

    // The scanner drops white space that comes before any other text since
    // the last element end (the indentation between elements, most of what
    // expat reports as text); it is dropped here already, as it would be
    // there, so it never travels.
    static void XMLCALL XML_characterData(void* userData, const char* text, int length) {
        auto* reader = static_cast<ExpatReadAhead*>(userData);
        if (!reader->textSinceEnd_) {
            while (length > 0 && IsWhiteSpace()(*text)) {
                ++text;
                --length;
            }
        }
        if (length <= 0) return;
        reader->textSinceEnd_ = true;
        guarded(userData, [text, length](ExpatReadAhead& self) {
            const std::uint32_t size = static_cast<std::uint32_t>(length);
            char header[1 + sizeof size] = {'T'};
            std::memcpy(header + 1, &size, sizeof size);
            self.current_.append(header, sizeof header).append(text, size);
            self.handOver();
        });
    }

    static void XMLCALL XML_entityDeclaration(void* userData, const char*, int, const char*, int,
                                              const char*, const char*, const char*, const char*) {
        XML_StopParser(static_cast<ExpatReadAhead*>(userData)->xml_, XML_FALSE);
    }

    std::istream& in_;
    XML_Parser xml_ = nullptr;  // the reading thread's, while it parses
    int depth_ = 0;
    bool textSinceEnd_ = false;  // text other than white space since the last element end
    std::string current_;        // the chunk being filled, reading thread only
    std::string errorLine_;      // written before done_ is set
    std::exception_ptr failure_;

    boost::mutex mutex_;
    boost::condition_variable changed_;
    std::deque<std::string> full_;
    std::vector<std::string> spare_;
    bool done_ = false;
    bool stop_ = false;
    boost::thread thread_;  // last: started once everything above exists
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
    m_characterText.clear();
    m_elementPath.clear();
    std::string events;
    {
        ExpatReadAhead reader(in);
        while (reader.next(events)) {
            boost::this_thread::interruption_point();
            replay(events);
        }
        if (reader.failure()) std::rethrow_exception(reader.failure());
        if (!reader.errorLine().empty()) std::cout << reader.errorLine() << std::endl;
    }
    m_parser.reset();
}

void ITunesMediaScanner::replay(const std::string& events) {
    const char* p = events.data();
    const char* const end = p + events.size();
    while (p < end) {
        const char kind = *p++;
        if (kind == 'T') {
            std::uint32_t length = 0;
            std::memcpy(&length, p, sizeof length);
            p += sizeof length;
            characterData(p, static_cast<int>(length));
            p += length;
        } else if (kind == 'S') {
            const char* name = p;
            p += std::strlen(name) + 1;
            startElement(name, nullptr);
        } else {
            // The name is the element path's last part; endElement copies it
            // before it cuts the path.
            const std::string::size_type slash = m_elementPath.rfind('/');
            endElement(m_elementPath.c_str() + (slash == std::string::npos ? 0 : slash + 1));
        }
    }
}

void ITunesMediaScanner::startElement(const char* name, const char** attributes) {
    (void)attributes;
    m_elementPath.push_back('/');
    m_elementPath.append(name);
}

void ITunesMediaScanner::endElement(const char* name) {
    m_elementName.assign(name);
    // The ending element is the path's last part: expat matches every end
    // tag to its start, so "/" and the name come off the end.
    const std::size_t cut =
        m_elementPath.size() - std::min(m_elementPath.size(), m_elementName.size() + 1);
    // Leading white space never got in (characterData); trim the end.
    std::size_t end = m_characterText.size();
    while (end > 0 && IsWhiteSpace()(m_characterText[end - 1])) --end;
    m_characterText.resize(end);
    parseElement(m_elementPath, m_elementName, m_characterText);
    m_characterText.clear();
    m_elementPath.resize(cut);
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
