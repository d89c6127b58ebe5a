#include "scan/ITunesMediaScanner.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "lib/expat/Parser.h"
#include "util/BoundedQueue.h"
#include "util/PathUtils.h"
#include "util/Trace.h"

namespace Ostra {
namespace ITunes {

const std::vector<std::string> ITUNES_LIBRARY_FILEPATHS = {
    "/Music/iTunes/iTunes Music Library.xml",
    "/Music/iTunes/iTunes Library.xml",
};

namespace {

// Reads start at this size. While a token is unfinished, the next read is as
// large as what expat holds of it, so each rescan of the token at least
// doubles what it covers: expat 2.5 tokenises an unfinished token again from
// its start on every call, which with small reads took quadratic time.
const std::size_t kReadSize = 64 * 1024;
// A token longer than this (a tag with its attributes, a comment, a
// processing instruction, ...) ends the parse: no library has one near it,
// and it bounds both the rescans and expat's buffer. Text is reported as it
// arrives, so a long text is no such token.
const std::uint64_t kMaxTokenBytes = 1024 * 1024;
// A property list nests a handful of levels; deeper documents are refused so
// the element path and expat's own stack stay small.
const int kMaxDepth = 256;
// Likewise for element names: a property list's longest is "integer", and
// with both limits the element path stays under a megabyte.
const std::size_t kMaxNameLength = 4096;
// expat keeps every distinct element and attribute name it meets for the
// life of the parse; a property list uses about a dozen.
const std::size_t kMaxDistinctNames = 64;
// Text beyond this per element is dropped: no library value comes near it,
// and it keeps one huge text node from taking memory with it.
const std::size_t kMaxCharacterText = 1024 * 1024;
// Events travel in chunks of about this many bytes, at most kQueuedChunks
// waiting: the read-ahead holds a few megabytes at most whatever the
// document (a chunk may run one text event, at most one read, past it).
const std::size_t kChunkBytes = 64 * 1024;
const std::size_t kQueuedChunks = 4;

// Owns one open file descriptor.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// A regular file, read by position through its descriptor only.
class DescriptorSource : public LibrarySource {
  public:
    explicit DescriptorSource(int fd) : fd_(fd) {}
    bool readAt(std::uint64_t offset, char* buffer, std::size_t size, std::size_t& got) override {
        got = 0;
        while (got < size) {
            const ssize_t n =
                ::pread(fd_, buffer + got, size - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool canReadAgain() const override { return true; }

  private:
    int fd_;
};

// A stream, read from where it stood when the parse began; it is read again
// only when it can seek back there.
class StreamSource : public LibrarySource {
  public:
    explicit StreamSource(std::istream& in) : in_(in), start_(in.tellg()) {}
    bool readAt(std::uint64_t offset, char* buffer, std::size_t size, std::size_t& got) override {
        got = 0;
        if (offset != position_) {
            if (!canReadAgain()) return false;
            in_.clear();
            if (!in_.seekg(start_ + static_cast<std::streamoff>(offset))) return false;
            position_ = offset;
        }
        in_.read(buffer, static_cast<std::streamsize>(size));
        if (in_.bad()) return false;
        got = static_cast<std::size_t>(in_.gcount());
        position_ += got;
        return true;
    }
    bool canReadAgain() const override { return start_ != std::streampos(-1); }

  private:
    std::istream& in_;
    const std::streampos start_;
    std::uint64_t position_ = 0;
};

// Runs expat over the source on its own thread and queues what it reports
// as element events, each packed into a chunk of bytes:
//   'S' name '\0'               element start
//   'T' length (4 bytes) text   character data
//   'E'                         element end (of the innermost open element:
//                               expat has checked that the names match)
// Element names cannot contain a NUL byte.
class ExpatReadAhead {
  public:
    explicit ExpatReadAhead(LibrarySource& source) : source_(source) {
        thread_ = boost::thread([this] { run(); });
    }
    ~ExpatReadAhead() {
        queue_.close();
        thread_.join();
    }
    ExpatReadAhead(const ExpatReadAhead&) = delete;
    ExpatReadAhead& operator=(const ExpatReadAhead&) = delete;

    // Swaps the next chunk into events (its old storage goes back for reuse);
    // false once the document is done. An interruption point.
    bool next(std::string& events) {
        std::string used;
        used.swap(events);
        used.clear();
        queue_.recycle(std::move(used));
        return queue_.pop(events);
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
        if (!current_.empty()) queue_.push(std::move(current_));
        queue_.finish();
    }

    void parse() {
        expat::Parser parser;
        if (!parser) return;
        xml_ = parser.get();
        XML_SetElementHandler(xml_, &XML_startElement, &XML_endElement);
        XML_SetCharacterDataHandler(xml_, &XML_characterData);
        XML_SetEntityDeclHandler(xml_, &XML_entityDeclaration);
        XML_SetElementDeclHandler(xml_, &XML_elementDeclaration);
        XML_SetAttlistDeclHandler(xml_, &XML_attlistDeclaration);
        XML_SetNotationDeclHandler(xml_, &XML_notationDeclaration);
        XML_SetUserData(xml_, this);
        current_.reserve(kChunkBytes + kReadSize);
        std::uint64_t offset = 0;
        std::size_t readSize = kReadSize;
        while (!stopping()) {
            void* buffer = XML_GetBuffer(xml_, static_cast<int>(readSize));
            if (buffer == nullptr) throw std::bad_alloc();
            std::size_t got = 0;
            if (!source_.readAt(offset, static_cast<char*>(buffer), readSize, got)) break;
            offset += got;
            const bool final = got == 0;
            const XML_Status status =
                XML_ParseBuffer(xml_, static_cast<int>(got), final ? XML_TRUE : XML_FALSE);
            if (failure_) std::rethrow_exception(failure_);
            if (status == XML_STATUS_ERROR) {
                if (!stopping()) setErrorLine(XML_ErrorString(XML_GetErrorCode(xml_)));
                break;
            }
            if (final) break;
            // Outside a callback the current position is the start of what
            // expat has not yet tokenised: the unfinished token.
            const XML_Index at = XML_GetCurrentByteIndex(xml_);
            const std::uint64_t pending = at >= 0 && static_cast<std::uint64_t>(at) <= offset
                                              ? offset - static_cast<std::uint64_t>(at)
                                              : 0;
            if (pending > kMaxTokenBytes) {
                setErrorLine(XML_ErrorString(XML_ERROR_ABORTED));
                break;
            }
            readSize = std::max<std::size_t>(kReadSize, pending);
        }
    }

    void setErrorLine(const char* error) {
        errorLine_ = std::string("ITunesMediaScanner error: ") + error + " at line " +
                     std::to_string(XML_GetCurrentLineNumber(xml_));
    }

    bool stopping() const { return queue_.closed(); }

    // Queues the current chunk once it is full, waiting for room; stops the
    // parse when the consumer has gone.
    void handOver() {
        if (current_.size() < kChunkBytes) return;
        if (!queue_.push(std::move(current_))) {
            current_.clear();
            XML_StopParser(xml_, XML_FALSE);
            return;
        }
        current_ = queue_.spare();
        current_.reserve(kChunkBytes + kReadSize);
    }

    // The names expat has kept so far, in the order they came: the few of a
    // property list are found in a comparison or two.
    bool admitName(const char* name, std::size_t length) {
        for (const auto& known : names_)
            if (known.size() == length && std::memcmp(known.data(), name, length) == 0) return true;
        if (names_.size() >= kMaxDistinctNames) return false;
        names_.emplace_back(name, length);
        return true;
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

    static void XMLCALL XML_startElement(void* userData, const char* name,
                                         const char** attributes) {
        guarded(userData, [name, attributes](ExpatReadAhead& self) {
            const std::size_t length = std::strlen(name);
            if (++self.depth_ > kMaxDepth || length > kMaxNameLength ||
                !self.admitName(name, length)) {
                XML_StopParser(self.xml_, XML_FALSE);
                return;
            }
            for (const char** attribute = attributes; *attribute != nullptr; attribute += 2) {
                if (!self.admitName(*attribute, std::strlen(*attribute))) {
                    XML_StopParser(self.xml_, XML_FALSE);
                    return;
                }
            }
            self.textBytes_ = 0;
            self.current_.push_back('S');
            self.current_.append(name, length + 1);  // with its NUL
            self.handOver();
        });
    }

    static void XMLCALL XML_endElement(void* userData, const char*) {
        guarded(userData, [](ExpatReadAhead& self) {
            --self.depth_;
            self.textSinceEnd_ = false;
            self.textBytes_ = 0;
            self.current_.push_back('E');
            self.handOver();
        });
    }

    // The scanner drops white space that comes before any other text since
    // the last element end (the indentation between elements, most of what
    // expat reports as text); it is dropped here already, as it would be
    // there, so it never travels. Nor does text past what the scanner keeps.
    static void XMLCALL XML_characterData(void* userData, const char* text, int length) {
        auto* reader = static_cast<ExpatReadAhead*>(userData);
        if (!reader->textSinceEnd_) {
            while (length > 0 && util::IsWhiteSpace()(*text)) {
                ++text;
                --length;
            }
        }
        if (length <= 0 || reader->textBytes_ >= kMaxCharacterText) return;
        reader->textSinceEnd_ = true;
        length =
            static_cast<int>(std::min<std::size_t>(length, kMaxCharacterText - reader->textBytes_));
        reader->textBytes_ += static_cast<std::size_t>(length);
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

    static void XMLCALL XML_elementDeclaration(void* userData, const char*, XML_Content* model) {
        auto* self = static_cast<ExpatReadAhead*>(userData);
        XML_FreeContentModel(self->xml_, model);
        XML_StopParser(self->xml_, XML_FALSE);
    }

    static void XMLCALL XML_attlistDeclaration(void* userData, const char*, const char*,
                                               const char*, const char*, int) {
        XML_StopParser(static_cast<ExpatReadAhead*>(userData)->xml_, XML_FALSE);
    }

    static void XMLCALL XML_notationDeclaration(void* userData, const char*, const char*,
                                                const char*, const char*) {
        XML_StopParser(static_cast<ExpatReadAhead*>(userData)->xml_, XML_FALSE);
    }

    LibrarySource& source_;
    XML_Parser xml_ = nullptr;  // the reading thread's, while it parses
    int depth_ = 0;
    bool textSinceEnd_ = false;  // text other than white space since the last element end
    std::size_t textBytes_ = 0;  // text queued since the last element start or end
    std::vector<std::string> names_;
    std::string current_;    // the chunk being filled, reading thread only
    std::string errorLine_;  // written before the queue is finished
    std::exception_ptr failure_;

    util::BoundedQueue<std::string> queue_{kQueuedChunks};
    boost::thread thread_;  // last: started once everything above exists
};

// HOME followed by each candidate; empty without HOME.
std::vector<std::string> candidatePaths() {
    std::vector<std::string> paths;
    const char* home = std::getenv("HOME");
    if (home == nullptr) return paths;
    for (const auto& candidate : ITUNES_LIBRARY_FILEPATHS) paths.push_back(home + candidate);
    return paths;
}

bool isRegularFile(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

ITunesMediaScanner::ITunesMediaScanner(boost::shared_ptr<IMediaProcessor> processor)
    : MediaScanner(processor) {}

ITunesMediaScanner::~ITunesMediaScanner() = default;

bool ITunesMediaScanner::isAvailable() {
    std::string scratch;
    return findITunesLibraryPath(scratch);
}

bool ITunesMediaScanner::findITunesLibraryPath(std::string& path) {
    for (const auto& candidate : candidatePaths()) {
        if (isRegularFile(candidate)) {
            path = candidate;
            return true;
        }
    }
    return false;
}

// The status is checked before the open so that nothing but a regular file
// is ever opened (opening a device can act on it), and again on the open
// descriptor, because a name can be swapped in between: a FIFO opened
// without O_NONBLOCK would block the scan until a writer came. Only the
// descriptor is read after that.
void ITunesMediaScanner::doScan() {
    for (const auto& candidate : candidatePaths()) {
        if (!isRegularFile(candidate)) continue;
        FileDescriptor fd(::open(candidate.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        struct stat info;
        if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        DescriptorSource source(fd.get());
        parseITunesLibrary(source);
        return;
    }
}

void ITunesMediaScanner::parseITunesLibrary(std::istream& in) {
    StreamSource source(in);
    parseITunesLibrary(source);
}

void ITunesMediaScanner::parseITunesLibrary(LibrarySource& source) {
    m_canReadAgain = source.canReadAgain();
    m_playlistsDeferred = false;
    parsePass(source, Pass::Whole);
    if (m_playlistsDeferred) parsePass(source, Pass::Playlists);
}

void ITunesMediaScanner::parsePass(LibrarySource& source, Pass pass) {
    m_pass = pass;
    m_tracksSeen = false;
    m_passOver = false;
    m_characterText.clear();
    m_elementPath.clear();
    m_parser.reset();
    std::string events;
    {
        ExpatReadAhead reader(source);
        bool more = true;
        while (!m_passOver && (more = reader.next(events))) {
            boost::this_thread::interruption_point();
            replay(events);
        }
        // The playlists pass ends at the tracks, leaving the reader part way:
        // what it would have found after that does not matter.
        if (!more) {
            if (reader.failure()) std::rethrow_exception(reader.failure());
            // The playlists pass reads what the whole pass has read: an error
            // in it has been printed already.
            if (pass == Pass::Whole && !reader.errorLine().empty())
                util::writeOutputLine(reader.errorLine() + "\n");
        }
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
    while (end > 0 && util::IsWhiteSpace()(m_characterText[end - 1])) --end;
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
        while (length > 0 && util::IsWhiteSpace()(*text)) {
            ++text;
            --length;
        }
    }
    if (length <= 0 || m_characterText.size() >= kMaxCharacterText) return;
    const std::size_t room = kMaxCharacterText - m_characterText.size();
    m_characterText.append(text, std::min(room, static_cast<std::size_t>(length)));
}

void ITunesMediaScanner::parseElement(std::string& path, std::string& name, std::string& text) {
    if (m_passOver) return;
    if (util::EqualsLiteral(path, "/plist/dict/key") && util::EqualsLiteral(text, "Tracks")) {
        if (m_pass == Pass::Playlists) {
            m_parser.reset();
            m_passOver = true;
            return;
        }
        m_tracksSeen = true;
        m_parser.reset(new ITunesTrackParser(processor_));
    } else if (util::EqualsLiteral(path, "/plist/dict/key") &&
               util::EqualsLiteral(text, "Playlists")) {
        if (m_pass == Pass::Whole && !m_tracksSeen && m_canReadAgain) {
            // Left for the playlists pass, once every track is known.
            m_parser.reset();
            m_playlistsDeferred = true;
        } else {
            m_parser.reset(new ITunesPlaylistParser(processor_));
        }
    } else if (util::EqualsLiteral(path, "/plist/dict/dict")) {
        m_parser.reset();
    } else if (m_parser) {
        m_parser->parseElement(path, name, text);
    }
}

}  // namespace ITunes
}  // namespace Ostra
