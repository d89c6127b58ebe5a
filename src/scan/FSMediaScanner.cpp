#include "scan/FSMediaScanner.h"

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "metadata/TagReader.h"
#include "scan/PathUtils.h"

namespace Ostra {

namespace fs = boost::filesystem;

namespace {

const char kScanFailed[] = "Problem occurred during file system scanning.";
const std::size_t kExtensionBuckets = 100;
// Files whose tags may be read ahead of the hand-over: bounds the memory a
// scan holds and how far the readers run ahead of the processor.
const std::size_t kReadAheadWindow = 64;
const unsigned kMaxReaderThreads = 4;

typedef std::map<std::string, std::string> TextFields;
typedef std::map<std::string, long long> IntFields;

// Copies tag fields into keys the record does not hold yet.
void mergeFields(amf::amf_object* song, const TextFields& textFields, const IntFields& intFields) {
    for (const auto& field : textFields) {
        const amf::amf0_data_type* present = song->get_property(field.first);
        if (present == nullptr || present->get_type() != amf::AMF_STRING) {
            song->set_string_property(field.first, field.second);
        }
    }
    for (const auto& field : intFields) {
        const amf::amf0_data_type* present = song->get_property(field.first);
        if (present == nullptr || present->get_type() != amf::AMF_NUMBER) {
            song->set_numeric_property(field.first, static_cast<double>(field.second));
        }
    }
}

}  // namespace

// Reads the tag fields of queued files on a small pool of threads. The
// scanning thread queues paths and takes results back in queue order; a
// reader (or the scanning thread, when it reads while it would otherwise
// wait) touches only the file it has popped until it marks it ready, and
// mutex_ guards the queue and every ready flag. The destructor stops and
// joins the readers, so no reader outlives the scan.
class FSMediaScanner::TagReadAhead {
  public:
    struct File {
        std::string path;
        TextFields textFields;
        IntFields intFields;
        bool ready = false;
        bool failed = false;  // reading threw: the file gets no record
    };

    TagReadAhead() {
        const unsigned threads = readerThreads();
        inline_ = threads == 0;
        for (unsigned i = 0; i < threads; ++i) {
            readers_.create_thread([this] { readLoop(); });
        }
    }

    ~TagReadAhead() {
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            stopping_ = true;
        }
        queued_.notify_all();
        // Runs while a thread interruption unwinds the scan too: the join
        // itself must not be cut short.
        boost::this_thread::disable_interruption keepJoining;
        readers_.join_all();
    }

    TagReadAhead(const TagReadAhead&) = delete;
    TagReadAhead& operator=(const TagReadAhead&) = delete;

    // Scanning thread only.
    void push(const std::string& path) {
        std::shared_ptr<File> file = std::make_shared<File>();
        file->path = path;
        order_.push_back(file);
        if (inline_) {
            file->failed = !read(*file);
            file->ready = true;
            return;
        }
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            pending_.push_back(file);
        }
        queued_.notify_one();
    }
    bool empty() const { return order_.empty(); }
    bool full() const { return order_.size() >= kReadAheadWindow; }

    // Scanning thread only: waits (interruptibly) for the oldest file.
    // While the oldest is not ready, it reads queued files itself rather than
    // sleep; only the oldest file's reader wakes it.
    std::shared_ptr<File> takeOldest() {
        std::shared_ptr<File> file = order_.front();
        order_.pop_front();
        boost::unique_lock<boost::mutex> lock(mutex_);
        while (!file->ready && !pending_.empty()) {
            std::shared_ptr<File> other = pending_.front();
            pending_.pop_front();
            lock.unlock();
            const bool failed = !read(*other);
            lock.lock();
            other->failed = failed;
            other->ready = true;
        }
        waitingFor_ = file.get();
        while (!file->ready) finished_.wait(lock);
        waitingFor_ = nullptr;
        return file;
    }

  private:
    // Reader threads: one per processor up to kMaxReaderThreads, or what
    // OSTRA_SCAN_READERS says (0 to 4); 0 reads every file on the scanning
    // thread, as a sequential scan does, to measure what reading ahead gains.
    static unsigned readerThreads() {
        const char* setting = std::getenv("OSTRA_SCAN_READERS");
        if (setting != nullptr && setting[0] >= '0' && setting[0] <= '0' + int(kMaxReaderThreads) &&
            setting[1] == '\0')
            return static_cast<unsigned>(setting[0] - '0');
        unsigned threads = boost::thread::hardware_concurrency();
        if (threads == 0) threads = 1;
        return threads > kMaxReaderThreads ? kMaxReaderThreads : threads;
    }

    // False when reading threw: the file then gets no record. An unreadable
    // file still yields whatever the maps hold, so it is reported with its
    // path alone.
    static bool read(File& file) {
        try {
            ExtractMetadataFromFileAtPath(file.path, file.textFields, file.intFields);
            return true;
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception&) {
            return false;
        } catch (...) {
            return false;
        }
    }

    void readLoop() {
        for (;;) {
            std::shared_ptr<File> file;
            {
                boost::unique_lock<boost::mutex> lock(mutex_);
                while (!stopping_ && pending_.empty()) queued_.wait(lock);
                if (stopping_) return;
                file = pending_.front();
                pending_.pop_front();
            }
            const bool failed = !read(*file);
            bool wake = false;
            {
                boost::lock_guard<boost::mutex> lock(mutex_);
                file->failed = failed;
                file->ready = true;
                wake = waitingFor_ == file.get();
            }
            if (wake) finished_.notify_all();
        }
    }

    std::deque<std::shared_ptr<File>> order_;  // scanning thread only
    boost::mutex mutex_;
    boost::condition_variable queued_;    // pending_ grew, or stopping_
    boost::condition_variable finished_;  // the file in waitingFor_ became ready
    const File* waitingFor_ = nullptr;    // the file the scanning thread waits for
    std::deque<std::shared_ptr<File>> pending_;
    bool stopping_ = false;
    bool inline_ = false;  // no reader threads: push() reads the file itself
    boost::thread_group readers_;
};

FSMediaScanner::FSMediaScanner(boost::shared_ptr<IMediaProcessor> processor, std::string startPath,
                               const amf::amf_ecma_array* validExtensions)
    : MediaScanner(processor), startPath_(startPath), validExtensions_(kExtensionBuckets) {
    boost::algorithm::trim_if(startPath_, IsWhiteSpace());
    if (validExtensions == nullptr) return;
    for (const auto& entry : *validExtensions) {
        if (entry.second != nullptr && entry.second->get_type() == amf::AMF_STRING) {
            validExtensions_.insert(static_cast<const amf::amf_string*>(entry.second)->get_value());
        }
    }
}

// Pre-order walk over a stack of plain directory iterators, one per open
// directory. Boost's recursive iterator ends the whole walk when it fails to
// open a sub-directory, so it cannot skip one unreadable folder and go on.
void FSMediaScanner::doScan() {
    std::vector<fs::directory_iterator> open;
    {
        boost::system::error_code ec;
        fs::directory_iterator root(fs::path(startPath_), ec);
        if (ec) {
            processor_->error(kScanFailed);
            return;
        }
        open.push_back(std::move(root));
    }
    TagReadAhead reader;
    const fs::directory_iterator end;
    while (!open.empty()) {
        boost::this_thread::interruption_point();
        if (open.back() == end) {
            open.pop_back();
            continue;
        }
        fs::path directory;
        try {
            const fs::directory_entry& entry = *open.back();
            const fs::file_status linkStatus = entry.symlink_status();
            // Follows links; a broken link reads as not found and is passed over.
            const fs::file_status status = fs::status(entry.path());
            if (fs::is_regular_file(status)) {
                const std::string path = entry.path().string();
                if (filePathHasValidExtension(path)) reader.push(path);
            } else if (fs::is_directory(linkStatus)) {
                directory = entry.path();
            }
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception&) {
            // This entry is skipped (not descended into); the walk goes on.
            directory.clear();
        } catch (...) {
            handOver(reader, true);
            processor_->error(kScanFailed);
            return;
        }
        if (reader.full()) handOver(reader, false);

        boost::system::error_code ec;
        open.back().increment(ec);
        if (ec) {
            handOver(reader, true);
            processor_->error(kScanFailed);
            return;
        }
        if (!directory.empty()) {
            fs::directory_iterator child(directory, ec);
            // A sub-directory that cannot be opened is skipped silently.
            if (!ec) open.push_back(std::move(child));
        }
    }
    handOver(reader, true);
}

void FSMediaScanner::handOver(TagReadAhead& reader, bool all) {
    do {
        if (reader.empty()) return;
        boost::this_thread::interruption_point();
        std::shared_ptr<TagReadAhead::File> file = reader.takeOldest();
        if (file->failed) continue;
        try {
            amf::amf_object song;
            song.set_string_property("path", file->path);
            mergeFields(&song, file->textFields, file->intFields);
            processor_->processSongObject(&song);
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception&) {
            // This file is skipped; the walk goes on.
        }
    } while (all || reader.full());
}

bool FSMediaScanner::filePathHasValidExtension(const std::string& path) const {
    const fs::path file(path);
    std::string extension = file.extension().string();
    if (extension.empty()) return false;
    extension.erase(0, 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // Hidden files, including names that are only an extension like ".mp3".
    const std::string name = file.filename().string();
    if (name.empty() || name[0] == '.') return false;
    return validExtensions_.count(extension) != 0;
}

void FSMediaScanner::fillInSongMetadataFromFile(amf::amf_object* song, std::string path) {
    std::map<std::string, std::string> textFields;
    std::map<std::string, long long> intFields;
    // A file that cannot be read still yields whatever the maps hold, so an
    // unreadable file is reported with its path alone.
    ExtractMetadataFromFileAtPath(path, textFields, intFields);
    mergeFields(song, textFields, intFields);
}

}  // namespace Ostra
