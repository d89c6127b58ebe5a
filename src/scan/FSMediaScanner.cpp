#include "scan/FSMediaScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/algorithm/string/trim.hpp>
#include <boost/thread/thread.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "amf/access.h"
#include "metadata/TagReader.h"
#include "scan/SongRecord.h"
#include "scan/TreePrefetch.h"
#include "util/InOrder.h"
#include "util/PathUtils.h"
#include "util/RegularFile.h"

namespace Ostra {

namespace {

const char kScanFailed[] = "Problem occurred during file system scanning.";
const std::size_t kExtensionBuckets = 100;
// Files whose tags may be read ahead of the hand-over: bounds the memory a
// scan holds, the folders it keeps open and how far the readers run ahead of
// the processor.
const std::size_t kReadAheadWindow = 128;
// Files per job on the workers: a file the file cache answers costs a few
// microseconds, about what queueing a job, waking a worker and taking the
// job back cost; runs of 16 keep that off the critical path of a rescan.
const std::size_t kFilesPerJob = 16;
// Directories open at once, one per level of the walk. Each holds a
// descriptor, and names below them are opened relative to it, so no path
// length limits the walk; this bounds the descriptors a scan holds. Real
// music folders are a dozen levels deep. (The files of the read-ahead window
// keep their folders open until a worker has opened them, so a scan holds at
// most kFoldersAhead more.)
const std::size_t kMaxDirectoryDepth = 256;
// Folders the read-ahead window may span. Each stays open until its files
// are handed over, so a tree of tiny folders would otherwise hold a
// descriptor per file of the window and run a process with a low descriptor
// limit out of them (the folders past that would be skipped as unreadable).
// Album folders hold a dozen files or more, so the window rarely spans this
// many.
const std::size_t kFoldersAhead = 16;
// Threads reading the tree ahead of a walk the file cache answers: enough
// reads at once to keep a disk busy, each mostly waiting for it.
const unsigned kPrefetchThreads = 4;
// Files the cache knows over which the walk is watched for reads.
const std::size_t kKnownPerCheck = 8;

typedef std::map<std::string, std::string> TextFields;
typedef std::map<std::string, long long> IntFields;

// Copies tag fields into keys the record does not hold yet.
void mergeFields(amf::amf_object* song, const TextFields& textFields, const IntFields& intFields) {
    for (const auto& field : textFields) {
        if (amf::getString(*song, field.first) == nullptr) {
            song->set_string_property(field.first, field.second);
        }
    }
    for (const auto& field : intFields) {
        if (!amf::getNumber(*song, field.first)) {
            song->set_numeric_property(field.first, static_cast<double>(field.second));
        }
    }
}

}  // namespace

// One open directory of the walk: its listing, the descriptor everything
// inside it is opened relative to, and the path text that names it in records.
// Listed by the scanning thread only; the file workers open names relative to
// its descriptor (read-only after construction), and whichever thread lets go
// of it last closes it.
class FSMediaScanner::Directory {
  public:
    // Opens name inside parent (or a path, with AT_FDCWD). A symbolic link is
    // followed only when followLink is set: the start path may be a link, but
    // links inside the tree are never descended into. Null when the
    // directory cannot be opened.
    static std::unique_ptr<Directory> open(int parent, const char* name, std::string path,
                                           bool followLink) {
        const int flags =
            O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW);
        const int fd = ::openat(parent, name, flags);
        if (fd < 0) return nullptr;
        struct stat status;
        DIR* dir = ::fstat(fd, &status) == 0 ? ::fdopendir(fd) : nullptr;
        if (dir == nullptr) {
            ::close(fd);
            return nullptr;
        }
        return std::unique_ptr<Directory>(new Directory(dir, std::move(path), status));
    }
    ~Directory() { ::closedir(dir_); }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    int descriptor() const { return fd_; }
    const std::string& path() const { return path_; }
    bool sameAs(const Directory& other) const {
        return device_ == other.device_ && inode_ == other.inode_;
    }

    // The next entry other than "." and "..", in the order the system lists
    // them; null at the end. failed is set when the listing cannot be read.
    const struct dirent* next(bool& failed) {
        for (;;) {
            errno = 0;
            const struct dirent* entry = ::readdir(dir_);
            if (entry == nullptr) {
                failed = errno != 0;
                return nullptr;
            }
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            return entry;
        }
    }

    // The path of an entry: the directory's path joined with a "/" unless it
    // ends in one already, so a relative start path gives relative paths.
    std::string pathOf(const char* name) const {
        std::string joined = path_;
        if (!joined.empty() && joined.back() != '/') joined += '/';
        return joined += name;
    }

  private:
    Directory(DIR* dir, std::string path, const struct stat& status)
        : dir_(dir),
          fd_(::dirfd(dir)),
          path_(std::move(path)),
          device_(status.st_dev),
          inode_(status.st_ino) {}

    DIR* dir_;
    const int fd_;  // dir_'s, owned by it
    std::string path_;
    dev_t device_;
    ino_t inode_;
};

// Answers the accepted files on the file workers, ahead of the walk, and
// hands their records back in walk order. Used by the scanning thread; each
// file belongs to the job answering it until the scanning thread takes it
// back.
class FSMediaScanner::TagReadAhead {
  public:
    struct File {
        std::string path;
        // Where the worker opens it, by its name (the end of the path from
        // nameAt); released once it has.
        std::shared_ptr<const Directory> directory;
        std::size_t nameAt = 0;
        // The record as the processor gets it: encoded when the file cache
        // knew the file (and the record could be), else built; neither when
        // reading threw (the file gets no record).
        EncodedSong encoded;
        bool isEncoded = false;
        std::unique_ptr<amf::amf_object> song;
        bool known = false;          // answered by the file cache
        bool firstOfFolder = false;  // the first pushed of a run in one folder
    };

    // Without workers each file is read when it is handed over, one at a
    // time, as a sequential scan does.
    TagReadAhead(util::FileWorkers* files, const std::string& root)
        : filesPerJob_(filesPerJob(files)),
          lane_(files, files != nullptr && files->size() > 0 ? kReadAheadWindow / filesPerJob_ : 1),
          root_(root) {}

    // Every file goes to a worker, the ones the file cache knows too: on a
    // rescan the lookups and the records are then most of the work, and the
    // workers share it while this thread walks and hands over. Files go in
    // runs of filesPerJob_, so that handing them over costs this thread
    // little next to the walk.
    void push(std::string path, std::shared_ptr<const Directory> directory, const char* name) {
        File file;
        file.path = std::move(path);
        file.nameAt = file.path.size() - std::strlen(name);
        if (directory != lastFolder_) {
            file.firstOfFolder = true;
            ++foldersAhead_;
            lastFolder_ = directory;
        }
        file.directory = std::move(directory);
        gathered_.push_back(std::move(file));
        if (gathered_.size() >= filesPerJob_) submitGathered();
    }
    bool empty() const { return next_ == taken_.size() && lane_.empty() && gathered_.empty(); }
    bool full() const { return lane_.full() || foldersAhead_ >= kFoldersAhead; }
    // Waits (interruptibly) for the oldest file; not when empty(). The file
    // stays valid until the next call.
    File& takeOldest() {
        if (next_ == taken_.size()) {
            if (!taken_.empty()) spent_.push_back(std::move(taken_));
            taken_.clear();
            next_ = 0;
            if (lane_.empty()) submitGathered();
            taken_ = lane_.take();
        }
        File& file = taken_[next_++];
        if (file.firstOfFolder) --foldersAhead_;
        if (file.known) {
            knownInARow();
        } else {
            knownSince_ = 0;
        }
        return file;
    }

  private:
    // A run of files the cache knows is a rescan, which costs little more
    // than the walk; when the walk has read from the disk meanwhile (a cold
    // disk's folders), it waits for the folders and inodes, and the tree is
    // read ahead. (A first scan reads files, and its readers need the
    // processors; a warm tree gains nothing.) Counted as the files are
    // handed over, a window behind the walk, on the walking thread: only its
    // own reads count, not those of the workers, which other requests share.
    void knownInARow() {
        if (prefetch_) return;
        if (knownSince_++ == 0) blocksRead_ = blocksReadByThisThread();
        if (knownSince_ < kKnownPerCheck) return;
        if (blocksReadByThisThread() != blocksRead_) {
            try {
                prefetch_.reset(new TreePrefetch(root_, kPrefetchThreads));
            } catch (const std::exception&) {
                // Out of memory: the walk reads for itself.
            }
        }
        knownSince_ = 0;
    }
    static long blocksReadByThisThread() {
        struct rusage usage;
        return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_inblock : 0;
    }

    // From the file cache when it knows the file unchanged, else read (and
    // stored). An unreadable file still yields whatever the maps hold, so it
    // is reported with its path alone; one whose reading threw gets no
    // record.
    static void answer(File& file, KnownTags& tags) {
        try {
            // Not open for a file that may not be read, which is then
            // reported by its path alone.
            util::RegularFile opened;
            const bool candidate = open(file, opened);
            file.directory.reset();
            if (!candidate) return;
            if (opened.isOpen() && known(file, opened, tags)) return;
            TextFields textFields;
            IntFields intFields;
            if (opened.isOpen()) {
                ExtractMetadataFromOpenFile(opened.descriptor(), file.path, textFields, intFields,
                                            false);
            }
            opened.close();
            std::unique_ptr<amf::amf_object> song(new amf::amf_object());
            song->set_string_property("path", file.path);
            mergeFields(song.get(), textFields, intFields);
            file.song = std::move(song);
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (...) {
            file.isEncoded = false;
            file.song.reset();
        }
    }

    // The record of a file the file cache knows; false when it has to be
    // read (out of memory too).
    static bool known(File& file, const util::RegularFile& opened, KnownTags& tags) {
        try {
            if (!FindKnownTags(opened.status(), file.path, tags)) return false;
            file.isEncoded = file.encoded.encode(tags, file.path);
            if (!file.isEncoded) file.song = SongOfKnownTags(tags, file.path);
            file.known = true;
            return true;
        } catch (const std::exception&) {
            file.isEncoded = false;
            return false;
        }
    }

    // Opens the file relative to its directory's descriptor; false for a
    // file passed over. A regular file that may not be read is still
    // reported, by its path; a failed open for any other reason (gone, a
    // broken link) passes it over, like an opened file that is no regular
    // file.
    static bool open(const File& file, util::RegularFile& opened) {
        const int directory = file.directory->descriptor();
        const char* name = file.path.c_str() + file.nameAt;
        opened = util::RegularFile::openAt(directory, name);
        if (opened.isOpen()) return true;
        if (opened.openError() != EACCES && opened.openError() != EPERM) return false;
        struct stat status;
        return ::fstatat(directory, name, &status, 0) == 0 && S_ISREG(status.st_mode);
    }

    // Runs of kFilesPerJob, shorter when there are so many workers that the
    // window would not keep two jobs queued for each.
    static std::size_t filesPerJob(const util::FileWorkers* files) {
        if (files == nullptr || files->size() == 0) return 1;
        const std::size_t perWorker = kReadAheadWindow / (2 * std::size_t{files->size()});
        return std::max<std::size_t>(1, std::min(kFilesPerJob, perWorker));
    }

    // The files handed over since the last job go with the next one, whose
    // worker frees them: records built on a worker cost this thread more to
    // free than to hand over.
    void submitGathered() {
        std::vector<File> files;
        files.swap(gathered_);
        gathered_.reserve(filesPerJob_);
        std::vector<std::vector<File>> spent;
        spent.swap(spent_);
        lane_.submit([files = std::move(files), spent = std::move(spent)]() mutable {
            spent.clear();
            KnownTags tags;
            for (File& file : files) answer(file, tags);
            return std::move(files);
        });
    }

    const std::size_t filesPerJob_;
    std::vector<File> gathered_;  // pushed, not yet submitted: the newest files
    util::InOrder<std::vector<File>> lane_;
    std::vector<File> taken_;               // the oldest files, from the last job taken back
    std::size_t next_ = 0;                  // the next of taken_ to hand over
    std::vector<std::vector<File>> spent_;  // handed over, for a worker to free
    // Runs of files in one folder pushed and not yet handed over (an upper
    // bound on the folders they hold open), and the folder of the last push.
    std::size_t foldersAhead_ = 0;
    std::shared_ptr<const Directory> lastFolder_;
    const std::string root_;
    std::size_t knownSince_ = 0;  // files the cache knew since one it did not
    long blocksRead_ = 0;         // by the scanning thread, when the run began
    std::unique_ptr<TreePrefetch> prefetch_;
};

FSMediaScanner::FSMediaScanner(boost::shared_ptr<IMediaProcessor> processor, std::string startPath,
                               const amf::amf_ecma_array* validExtensions, util::FileWorkers* files)
    : MediaScanner(processor),
      startPath_(startPath),
      validExtensions_(kExtensionBuckets),
      files_(files) {
    boost::algorithm::trim_if(startPath_, util::IsWhiteSpace());
    if (validExtensions == nullptr) return;
    for (const auto& entry : *validExtensions) {
        if (const std::string* extension = amf::getString(entry.second)) {
            validExtensions_.insert(*extension);
        }
    }
}

// Pre-order walk over a stack of open directories, each listed in the order
// the system gives. Every name is opened relative to its directory's
// descriptor: a path of any length is reached, and what was checked is what
// gets read (a name swapped for a FIFO or a link in between is refused on the
// descriptor, never followed or waited on).
void FSMediaScanner::doScan() {
    std::vector<std::shared_ptr<Directory>> open;
    {
        std::unique_ptr<Directory> root =
            util::IsValidPath(startPath_)
                ? Directory::open(AT_FDCWD, startPath_.c_str(), startPath_, true)
                : nullptr;
        if (!root) {
            processor_->error(kScanFailed);
            return;
        }
        open.push_back(std::move(root));
    }
    TagReadAhead reader(files_, startPath_);
    while (!open.empty()) {
        boost::this_thread::interruption_point();
        bool failed = false;
        const struct dirent* entry = open.back()->next(failed);
        if (failed) {
            handOver(reader, true);
            processor_->error(kScanFailed);
            return;
        }
        if (entry == nullptr) {
            open.pop_back();
            continue;
        }
        try {
            const unsigned char type = entryType(*open.back(), *entry);
            if (type == DT_DIR) {
                descend(open, entry->d_name);
            } else {
                considerFile(open.back(), entry->d_name, type, reader);
            }
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception&) {
            // This entry is skipped (not descended into); the walk goes on.
        } catch (...) {
            handOver(reader, true);
            processor_->error(kScanFailed);
            return;
        }
        if (reader.full()) handOver(reader, false);
    }
    handOver(reader, true);
}

unsigned char FSMediaScanner::entryType(const Directory& directory, const struct dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type;
    // Some file systems leave the type to a status query, which must not
    // follow a link.
    struct stat status;
    if (::fstatat(directory.descriptor(), entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return DT_UNKNOWN;
    }
    if (S_ISDIR(status.st_mode)) return DT_DIR;
    if (S_ISREG(status.st_mode)) return DT_REG;
    if (S_ISLNK(status.st_mode)) return DT_LNK;
    return DT_UNKNOWN;
}

void FSMediaScanner::descend(std::vector<std::shared_ptr<Directory>>& open, const char* name) {
    // A sub-directory that cannot be opened is skipped silently, and so is
    // one past the depth bound.
    if (open.size() >= kMaxDirectoryDepth) return;
    std::unique_ptr<Directory> child =
        Directory::open(open.back()->descriptor(), name, open.back()->pathOf(name), false);
    if (!child) return;
    // A directory mounted inside itself would make the walk endless.
    for (const auto& ancestor : open) {
        if (ancestor->sameAs(*child)) return;
    }
    open.push_back(std::move(child));
}

void FSMediaScanner::considerFile(const std::shared_ptr<Directory>& directory, const char* name,
                                  unsigned char type, TagReadAhead& reader) {
    // Links are followed to files (the open follows them), so they are
    // candidates like files; anything else is passed over. The file is
    // opened by the worker that reads it.
    if (type != DT_REG && type != DT_LNK) return;
    if (!nameHasValidExtension(name)) return;
    reader.push(directory->pathOf(name), directory, name);
}

void FSMediaScanner::handOver(TagReadAhead& reader, bool all) {
    do {
        if (reader.empty()) return;
        boost::this_thread::interruption_point();
        const TagReadAhead::File& file = reader.takeOldest();
        if (!file.isEncoded && !file.song) continue;
        try {
            if (file.isEncoded) {
                processor_->processEncodedSong(file.encoded, file.path);
            } else {
                processor_->processSongObject(file.song.get());
            }
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception&) {
            // This file is skipped; the walk goes on.
        }
    } while (all || reader.full());
}

bool FSMediaScanner::filePathHasValidExtension(const std::string& path) const {
    const std::string::size_type slash = path.rfind('/');
    return nameHasValidExtension(slash == std::string::npos ? path.c_str()
                                                            : path.c_str() + slash + 1);
}

bool FSMediaScanner::nameHasValidExtension(const char* name) const {
    // Hidden files, including names that are only an extension like ".mp3".
    if (name[0] == '\0' || name[0] == '.') return false;
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr) return false;
    std::string extension(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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
