#include "cache/SqliteCache.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

#include "util/Trace.h"

namespace Ostra {
namespace cache {

namespace {

// "OStC" in PRAGMA application_id tells our file from any other SQLite file,
// which is never touched.
constexpr long long kApplicationId = 0x4f537443;
// The layout below; a file of another layout is recreated.
constexpr long long kSchemaVersion = 2;

const char kCreateSchema[] =
    "DROP TABLE IF EXISTS entry;"
    "CREATE TABLE entry("
    " id INTEGER PRIMARY KEY,"
    " key INTEGER NOT NULL,"
    " path BLOB NOT NULL,"
    " kind TEXT NOT NULL,"
    " version TEXT NOT NULL,"
    " device INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " size INTEGER NOT NULL,"
    " modified INTEGER NOT NULL,"
    " changed INTEGER NOT NULL,"
    " used INTEGER NOT NULL,"
    " value BLOB NOT NULL);"
    // Rows go in by rowid and the key into an index of its own: inserting
    // rows of a few hundred bytes into a tree ordered by path (WITHOUT ROWID)
    // costs three times as much, files arriving in directory order. The
    // index holds the path and kind hashed (keyOf), not the texts: files
    // arrive in no order of their paths, so every batch touches most of the
    // index's pages, and each touched page is written again to the log;
    // eight bytes a key keep that small. Two entries whose keys collide
    // replace each other, and a lookup checks the path and kind it finds.
    "CREATE UNIQUE INDEX entry_key ON entry(key);"
    "PRAGMA application_id = 1330869315;"
    "PRAGMA user_version = 2;";
static_assert(kApplicationId == 1330869315 && kSchemaVersion == 2, "kCreateSchema spells them");

// Values past this are neither stored nor taken back: no real file's tags
// come near it, and a damaged or foreign file cannot make a lookup allocate
// much.
constexpr std::size_t kMaxValueBytes = 1u << 20;
const char kSelect[] =
    "SELECT version, device, inode, size, modified, changed, used,"
    " CASE WHEN length(value) <= 1048576 THEN value END, id FROM entry"
    " WHERE key = ?1 AND path = ?2 AND kind = ?3";
static_assert(kMaxValueBytes == 1048576, "kSelect spells it");
const char kInsert[] =
    "INSERT OR REPLACE INTO entry(path, kind, version, device, inode, size, modified, changed,"
    " used, value, key) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)";
const char kTouch[] = "UPDATE entry SET used = ?2 WHERE id = ?1";
// Least recently used first; of entries used at the same moment, the oldest.
const char kTrim[] =
    "DELETE FROM entry WHERE id IN (SELECT id FROM entry ORDER BY used, id LIMIT ?1)";

// A writer waits this long for another helper's transaction, then skips its
// batch; a lookup waits less and counts a miss.
constexpr int kWriterBusyMs = 50;
constexpr int kReaderBusyMs = 10;
// The writer thread yields the processor to the threads answering requests:
// what it writes is only ever needed by a later request. It waits for a
// pause of this long in the lookups, and runs at a lower priority. (Not as an
// idle thread: the exit waits for it, and an unprivileged process cannot
// raise it again.)
constexpr int kWriterNice = 10;
constexpr std::chrono::milliseconds kLookupPause(100);
// How stale the time of the last lookup may be, well within kLookupPause.
constexpr std::int64_t kLookupStampNs = 5000000;
constexpr std::chrono::seconds kMaxLookupWait(10);
// Values wait this long for company before they are committed together.
constexpr std::chrono::milliseconds kBatchDelay(200);
// Entries per transaction; the deadline at exit is checked between them,
// and a transaction under way at the exit, on a busy machine, takes the
// writer's lower priority to finish.
constexpr std::size_t kBatchEntries = 512;
// What may wait for the writer; past it new values are dropped. The writer
// waits for the end of a scan, so this holds the entries of a large first
// scan (some 300 bytes each).
constexpr std::size_t kMaxQueuedBytes = 32u << 20;
// Per queued value, besides its texts.
constexpr std::size_t kPendingOverhead = 128;
// The queue's texts are kept in blocks of this size (or of a larger text).
constexpr std::size_t kQueueBlockBytes = 256u << 10;
// A hit refreshes its entry's last use when that is older than this, so that
// rescans write nothing yet the size bound still trims by use.
constexpr long long kTouchAfterMs = 24LL * 3600 * 1000;
// Connections kept open for lookups; more may be open while busy.
constexpr std::size_t kMaxIdleReaders = 16;
// A lookup connection keeps its read transaction (its snapshot of the file)
// for this many lookups or this long: beginning one costs several system
// calls, more than the lookup itself. A snapshot held open keeps the log
// from being checkpointed past it, and misses what was written since, so it
// is never kept longer, and one left idle is ended by the writer thread.
constexpr int kLookupsPerSnapshot = 2000;
constexpr std::chrono::milliseconds kSnapshotTime(100);
// Pages a lookup connection may keep in memory (in KiB, as the pragma
// takes them): the entries of a large library's rescan.
constexpr int kReaderCacheKib = 8192;
// Keys the filter holds at most (some 16 bytes each); a file with more is
// queried for every lookup.
constexpr std::size_t kMaxKeys = 1u << 20;
// How much of the file is read ahead at open: the whole file of any library
// of a few hundred thousand songs.
constexpr off_t kReadAheadBytes = 256 << 20;
// The write-ahead log is cut back to this after a checkpoint.
constexpr long long kWalLimitBytes = 4 << 20;

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t steadyNs(std::chrono::steady_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

bool isDamage(const sqlite::Error& error) {
    return error.primary() == SQLITE_CORRUPT || error.primary() == SQLITE_NOTADB;
}

bool isBusy(const sqlite::Error& error) {
    return error.primary() == SQLITE_BUSY || error.primary() == SQLITE_LOCKED;
}

// The write-ahead log's companions of a database file.
const char* const kCompanions[] = {"-wal", "-shm", "-journal"};

// Whether the file begins as every SQLite database does; a damaged one
// usually still does, while a file of another kind does not.
bool looksLikeDatabase(const std::string& path) {
    static const char kHeader[] = "SQLite format 3";  // and its terminating zero
    char head[sizeof kHeader] = {};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    return got == sizeof head && std::memcmp(head, kHeader, sizeof head) == 0;
}

std::uint64_t fileBytes(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// SQLite takes a device such as /dev/null for an empty database and makes
// its journal beside it; only a regular file (or a link to one) is opened.
void requireRegularFile(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        throw std::runtime_error("not a regular file");
    }
}

// The entries are answers: whoever may replace the file (the owner of its
// folder, or of the file) could make the helper answer as they choose. Only
// the user's own, or the superuser's, are used.
void requireOwnedByUser(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && status.st_uid != ::geteuid() && status.st_uid != 0) {
        throw std::runtime_error(path + " belongs to another user");
    }
}

// Checks that the open file is a cache file (or a new, empty one); returns
// whether its layout is ours as it is.
bool checkOwnership(sqlite::Database& db) {
    // One statement, so one snapshot: a helper setting the file up at the
    // same moment is seen before or after, never half done (an id not yet
    // written beside its tables would look like another program's file).
    sqlite::Statement facts(db,
                            "SELECT (SELECT application_id FROM pragma_application_id),"
                            " (SELECT user_version FROM pragma_user_version),"
                            " (SELECT count(*) FROM sqlite_master)");
    if (!facts.step()) throw std::runtime_error("cannot read the file's header");
    const long long application = facts.columnInt(0);
    const long long schema = facts.columnInt(1);
    const long long objects = facts.columnInt(2);
    if (application == kApplicationId) {
        if (schema > kSchemaVersion) {
            throw std::runtime_error("written by a newer version of the helper");
        }
        return schema == kSchemaVersion;
    }
    if (application != 0 || objects != 0) {
        throw std::runtime_error("not a cache file of this helper");
    }
    return false;
}

// Helpers started together would all set a new file up at once, and SQLite
// refuses, without waiting, one of two connections that turn the same file
// to write-ahead logging; a refused helper would go without the cache for its
// whole run. So the opening goes one helper at a time, under an advisory
// lock on the cache's folder that only helpers take. Without it (a folder
// that cannot be opened, a holder that does not let go) the opening goes
// ahead anyway: SQLite's own locks keep the file sound.
class FolderLock {
  public:
    FolderLock(const std::filesystem::path& folder, std::chrono::milliseconds patience)
        : fd_(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        const auto until = std::chrono::steady_clock::now() + patience;
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() >= until) {
                ::close(fd_);
                fd_ = -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    }
    // Closing the descriptor releases the lock.
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

  private:
    int fd_;
};
// Another helper's opening takes milliseconds. The wait is on the first
// lookup's thread and holds up a stop too, so it is kept short: a process
// that holds the lock for good costs each helper this much once.
constexpr std::chrono::milliseconds kOpeningPatience(500);
// The path and kind as one number, the same in every process and version
// (64-bit FNV-1a, a byte no UTF-8 text holds between the two): the index's
// key, and the key filter's.
std::int64_t keyOf(std::string_view path, std::string_view kind) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    auto add = [&hash](unsigned char byte) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    };
    for (const char c : path) add(static_cast<unsigned char>(c));
    add(0xff);
    for (const char c : kind) add(static_cast<unsigned char>(c));
    return static_cast<std::int64_t>(hash);
}

int pastDeadline(void* deadlineNs) {
    const auto* deadline = static_cast<const std::atomic<std::int64_t>*>(deadlineNs);
    return steadyNs(std::chrono::steady_clock::now()) > deadline->load() ? 1 : 0;
}

}  // namespace

// One lookup connection, its prepared statements and its snapshot; used by
// one thread at a time, which holds it borrowed or holds readersMutex_.
struct SqliteCache::Reader {
    sqlite::Database db;
    sqlite::Statement begin;
    sqlite::Statement commit;
    sqlite::Statement select;
    bool inSnapshot = false;
    int lookups = 0;
    std::chrono::steady_clock::time_point began;

    explicit Reader(const std::string& path) : db(path, SQLITE_OPEN_READWRITE) {
        db.busyTimeout(kReaderBusyMs);
        db.exec("PRAGMA cache_size = -" + std::to_string(kReaderCacheKib));
        begin = sqlite::Statement(db, "BEGIN");
        commit = sqlite::Statement(db, "COMMIT");
        select = sqlite::Statement(db, kSelect);
    }

    bool snapshotExpired(std::chrono::steady_clock::time_point now) const {
        return inSnapshot && (lookups >= kLookupsPerSnapshot || now - began >= kSnapshotTime);
    }
    // The next lookup takes a fresh snapshot.
    void endSnapshot() {
        if (!inSnapshot) return;
        inSnapshot = false;
        // A read transaction ends without fail; should it not, the
        // connection's next BEGIN reports it.
        try {
            commit.run();
        } catch (const sqlite::Error&) {
        }
    }
};

SqliteCache::SqliteCache(const CacheSettings& settings) : settings_(settings) {}

SqliteCache::~SqliteCache() {
    close(std::chrono::steady_clock::now());
}

bool SqliteCache::ready() {
    const State state = state_.load(std::memory_order_acquire);
    if (state == State::Open) return true;
    if (state != State::Unopened) return false;
    std::lock_guard<std::mutex> lock(openMutex_);
    if (state_.load() != State::Unopened) return state_.load() == State::Open;
    // A file not made yet holds nothing to find: the first scan goes on
    // while it is made (some milliseconds, several of them waiting for the
    // disk), its values queued for the writer meanwhile.
    struct stat status;
    State from = State::Unopened;
    if (::stat(settings_.path.c_str(), &status) != 0 && errno == ENOENT) {
        // Not over a close() just begun.
        if (!state_.compare_exchange_strong(from, State::Opening)) return false;
        from = State::Opening;
        try {
            opener_ = std::thread([this] { openOrTurnOff(State::Opening); });
            return false;
        } catch (const std::exception&) {
            // No thread to spare: made on this one.
        }
    }
    return openOrTurnOff(from);
}

bool SqliteCache::openOrTurnOff(State from) {
    // The state moves on from `from` alone: a close() that came meanwhile,
    // even before this thread first ran, keeps the cache closed.
    try {
        open();
        return state_.compare_exchange_strong(from, State::Open, std::memory_order_release);
    } catch (const sqlite::Error& e) {
        report(isBusy(e) ? kBusy : kUnusable, std::string(e.what()) +
                                                  (isBusy(e) ? " (another process holds it)" : "") +
                                                  "; working without it");
    } catch (const std::exception& e) {
        report(kUnusable, std::string(e.what()) + "; working without it");
    }
    insert_ = sqlite::Statement();
    touch_ = sqlite::Statement();
    writer_.close();
    state_.compare_exchange_strong(from, State::Off);
    // What came while a new file was being made has no writer to go to; nor
    // has anything a store() about to queue still brings.
    PendingQueue dropped;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopping_ = true;
        dropped.swap(queue_);
        queuedBytes_ = 0;
    }
    for (const Pending& pending : dropped.entries())
        if (!pending.touchOnly) dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void SqliteCache::open() {
    // The folder is the user's own: nobody else needs to list what it holds.
    const std::filesystem::path folder = std::filesystem::path(settings_.path).parent_path();
    if (!folder.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(folder.parent_path(), ignored);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            throw std::runtime_error("cannot create " + folder.string() + ": " +
                                     std::strerror(errno));
        }
    }
    requireOwnedByUser(folder.empty() ? "." : folder.string());
    requireOwnedByUser(settings_.path);
    const FolderLock opening(folder, kOpeningPatience);
    requireRegularFile(settings_.path);
    try {
        openWriter();
    } catch (const sqlite::Error& e) {
        // Only a database is set aside: a file of another kind at the path
        // is somebody's, whatever the setting says.
        if (!isDamage(e) || !looksLikeDatabase(settings_.path)) throw;
        insert_ = sqlite::Statement();
        touch_ = sqlite::Statement();
        writer_.close();
        setAside(true);
        openWriter();
    }
    bool empty = false;
    try {
        empty = writer_.queryInt("SELECT NOT EXISTS (SELECT 1 FROM entry)") != 0;
    } catch (const sqlite::Error&) {
        // Busy: the writer thread loads the keys when it can.
    }
    if (empty) {
        std::lock_guard<std::mutex> lock(keysMutex_);
        keysState_ = Keys::Complete;
        keysComplete_.store(true);
    } else {
        readAhead();
    }
    writerThread_ = std::thread(&SqliteCache::writerLoop, this);
}

void SqliteCache::openWriter() {
    writer_ = sqlite::Database(settings_.path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    writer_.busyTimeout(kWriterBusyMs);
    // Before anything is written: another program's database stays as it is.
    const bool ours = checkOwnership(writer_);
    {
        // Readers of the write-ahead log never wait for the writer, and
        // several helpers can use the file at once.
        sqlite::Statement mode(writer_, "PRAGMA journal_mode = WAL");
        if (!mode.step() || mode.columnBlob(0) != "wal") {
            throw std::runtime_error("cannot use write-ahead logging");
        }
    }
    // A cache may lose its last commits to a crash, never its consistency.
    writer_.exec("PRAGMA synchronous = NORMAL");
    writer_.exec("PRAGMA journal_size_limit = " + std::to_string(kWalLimitBytes));
    if (!ours) {
        sqlite::Transaction transaction(writer_);
        // Another helper may have set it up in the meantime.
        if (!checkOwnership(writer_)) writer_.exec(kCreateSchema);
        transaction.commit();
    }
    insert_ = sqlite::Statement(writer_, kInsert);
    touch_ = sqlite::Statement(writer_, kTouch);
    sqlite3_progress_handler(writer_.get(), 1000, &pastDeadline, &deadlineNs_);
}

void SqliteCache::readAhead() {
    for (const char* suffix : {"", "-wal"}) {
        const int fd = ::open((settings_.path + suffix).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        // Only advice: the reads go on in the background, and a failure
        // leaves the lookups to fault the pages in themselves.
        (void)::posix_fadvise(fd, 0, kReadAheadBytes, POSIX_FADV_WILLNEED);
        ::close(fd);
    }
}

void SqliteCache::loadKeys() {
    {
        std::lock_guard<std::mutex> lock(keysMutex_);
        if (keysState_ != Keys::Unknown) return;
    }
    absl::flat_hash_set<std::int64_t> loaded;
    bool bounded = false;
    try {
        sqlite::Statement all(writer_, "SELECT key FROM entry");
        for (bounded = true; all.step();) {
            if (loaded.size() >= kMaxKeys) {
                bounded = false;
                break;
            }
            loaded.insert(all.columnInt(0));
        }
    } catch (const std::exception&) {
        // Busy, interrupted by the exit, out of memory: lookups query.
        bounded = false;
    }
    std::lock_guard<std::mutex> lock(keysMutex_);
    if (keysState_ != Keys::Unknown) return;
    if (bounded) {
        // What was queued meanwhile.
        loaded.insert(keys_.begin(), keys_.end());
        keys_.swap(loaded);
        keysState_ = Keys::Complete;
        keysComplete_.store(true);
    } else {
        keysState_ = Keys::Unbounded;
        keys_ = absl::flat_hash_set<std::int64_t>();
    }
}

void SqliteCache::addKey(std::int64_t key) {
    std::lock_guard<std::mutex> lock(keysMutex_);
    if (keysState_ == Keys::Unbounded) return;
    if (keys_.size() >= kMaxKeys) {
        keysState_ = Keys::Unbounded;
        keysComplete_.store(false);
        keys_ = absl::flat_hash_set<std::int64_t>();
        return;
    }
    keys_.insert(key);
}

std::unique_ptr<SqliteCache::Reader> SqliteCache::borrowReader() {
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        if (!idleReaders_.empty()) {
            std::unique_ptr<Reader> reader = std::move(idleReaders_.back());
            idleReaders_.pop_back();
            return reader;
        }
    }
    return std::unique_ptr<Reader>(new Reader(settings_.path));
}

void SqliteCache::giveBack(std::unique_ptr<Reader> reader) {
    std::lock_guard<std::mutex> lock(readersMutex_);
    if (idleReaders_.size() < kMaxIdleReaders) {
        idleReaders_.push_back(std::move(reader));
    } else if (reader->inSnapshot) {
        // Closed here, so its snapshot ends with it; the writer must not keep
        // waiting for it.
        snapshots_.fetch_sub(1);
    }
}

bool SqliteCache::find(const std::string& path, const std::string& kind, const std::string& version,
                       const FileIdentity& identity, std::string& value) {
    if (!ready()) {
        if (state_.load() == State::Opening) misses_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    {
        // Written only when it has aged: every lookup writing it would make
        // the threads that look up pass its cache line back and forth.
        const std::int64_t now = steadyNs(std::chrono::steady_clock::now());
        if (now - lastLookupNs_.load(std::memory_order_relaxed) > kLookupStampNs)
            lastLookupNs_.store(now, std::memory_order_relaxed);
    }
    const std::int64_t key = keyOf(path, kind);
    if (keysComplete_.load(std::memory_order_acquire)) {
        std::unique_lock<std::mutex> lock(keysMutex_);
        if (keysState_ == Keys::Complete && !keys_.contains(key)) {
            lock.unlock();
            misses_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
    }
    bool found = false;
    long long used = 0;
    long long row = 0;
    std::unique_ptr<Reader> reader;
    try {
        reader = borrowReader();
        const auto now = std::chrono::steady_clock::now();
        if (reader->snapshotExpired(now)) {
            reader->endSnapshot();
            snapshots_.fetch_sub(1);
        }
        if (!reader->inSnapshot) {
            reader->begin.run();
            reader->inSnapshot = true;
            reader->began = now;
            reader->lookups = 0;
            // The writer thread now watches for snapshots left idle.
            if (snapshots_.fetch_add(1) == 0) {
                { std::lock_guard<std::mutex> lock(queueMutex_); }
                queued_.notify_one();
            }
        }
        ++reader->lookups;
        sqlite::Statement& select = reader->select;
        // Bound without a copy: the statement is reset below, before they go.
        select.bindInt(1, key);
        select.bindBlob(2, path, true);
        select.bindText(3, kind, true);
        if (select.step()) {
            FileIdentity stored;
            stored.device = static_cast<std::uint64_t>(select.columnInt(1));
            stored.inode = static_cast<std::uint64_t>(select.columnInt(2));
            stored.size = select.columnInt(3);
            stored.modifiedNs = select.columnInt(4);
            stored.changedNs = select.columnInt(5);
            if (select.columnBlob(0) == version && stored.sameFile(identity) &&
                !select.columnIsNull(7)) {
                const std::string_view bytes = select.columnBlob(7);
                value.assign(bytes.data(), bytes.size());
                used = select.columnInt(6);
                row = select.columnInt(8);
                found = true;
            }
        }
        select.reset();
    } catch (const sqlite::Error& e) {
        // Busy: another helper is in the way for a moment; not worth a wait.
        if (!isBusy(e)) {
            turnOff(e);
            if (reader && reader->inSnapshot) snapshots_.fetch_sub(1);
            reader.reset();
        }
    } catch (const std::exception&) {
        // Out of memory: a miss like any other.
    }
    if (reader) giveBack(std::move(reader));
    (found ? hits_ : misses_).fetch_add(1, std::memory_order_relaxed);
    if (found) {
        const long long now = nowMs();
        if (used < now - kTouchAfterMs) {
            Pending touch;
            touch.row = row;
            touch.used = now;
            touch.touchOnly = true;
            queue(std::move(touch), 0);
        }
    }
    return found;
}

void SqliteCache::store(const std::string& path, const std::string& kind,
                        const std::string& version, const FileIdentity& identity,
                        std::string value) {
    if (!identity.settled || value.size() > kMaxValueBytes ||
        (!ready() && state_.load() != State::Opening) ||
        writesOff_.load(std::memory_order_relaxed)) {
        return;
    }
    Pending pending;
    pending.path = path;
    pending.kind = kind;
    pending.version = version;
    pending.identity = identity;
    pending.value = value;
    pending.used = nowMs();
    const std::size_t bytes = path.size() + kind.size() + version.size() + pending.value.size();
    // Before it can be written, so a lookup never passes over it.
    pending.key = keyOf(path, kind);
    addKey(pending.key);
    queue(std::move(pending), bytes);
}

void SqliteCache::PendingQueue::push(Pending pending) {
    for (std::string_view* text : {&pending.path, &pending.kind, &pending.version, &pending.value})
        *text = keep(*text);
    entries_.push_back(pending);
}

std::string_view SqliteCache::PendingQueue::keep(std::string_view text) {
    if (text.empty()) return std::string_view();
    if (text.size() > free_) {
        const std::size_t size = std::max(kQueueBlockBytes, text.size());
        blocks_.emplace_back(new char[size]);
        next_ = blocks_.back().get();
        free_ = size;
    }
    std::memcpy(next_, text.data(), text.size());
    const std::string_view kept(next_, text.size());
    next_ += text.size();
    free_ -= text.size();
    return kept;
}

void SqliteCache::queue(Pending pending, std::size_t bytes) {
    bytes += kPendingOverhead;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (stopping_ || queuedBytes_ + bytes > kMaxQueuedBytes) {
            if (!pending.touchOnly) dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        queue_.push(pending);
        queuedBytes_ += bytes;
        // The writer waits for a first value, then for a full batch: only
        // those two moments are worth waking it for.
        wake = queue_.entries().size() == 1 || queue_.entries().size() == kBatchEntries;
    }
    if (wake) queued_.notify_one();
}

void SqliteCache::writerLoop() {
    // This thread only; a failure leaves it at the process's priority.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kWriterNice);
    // Named for top and perf, beside the file workers.
    ::pthread_setname_np(::pthread_self(), "cache writer");
    loadKeys();
    for (;;) {
        PendingQueue batch;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            while (!stopping_ && queue_.entries().empty()) {
                // Without snapshots to end there is nothing to wake up for.
                if (snapshots_.load() == 0) {
                    queued_.wait(lock);
                } else if (queued_.wait_for(lock, kSnapshotTime) == std::cv_status::timeout) {
                    lock.unlock();
                    endIdleSnapshots();
                    lock.lock();
                }
            }
            if (!stopping_) {
                queued_.wait_for(lock, kBatchDelay, [this] {
                    return stopping_ || queue_.entries().size() >= kBatchEntries;
                });
            }
            // While requests look files up, the processors are theirs: the
            // values wait for a pause, up to three quarters of the bound, and
            // for no longer than a process killed meanwhile could lose.
            const auto waitedFrom = std::chrono::steady_clock::now();
            auto lookingUp = [this, waitedFrom] {
                const auto now = std::chrono::steady_clock::now();
                return now - waitedFrom < kMaxLookupWait &&
                       steadyNs(now) - lastLookupNs_.load() <
                           std::chrono::nanoseconds(kLookupPause).count();
            };
            while (!stopping_ && queuedBytes_ < kMaxQueuedBytes / 4 * 3 && lookingUp()) {
                queued_.wait_for(lock, kLookupPause);
            }
            // close() writes what is left, on its own thread's priority.
            if (stopping_) return;
            batch.swap(queue_);
            queuedBytes_ = 0;
        }
        write(batch);
    }
}

void SqliteCache::write(PendingQueue& queued) {
    std::vector<Pending>& batch = queued.entries();
    std::size_t done = 0;
    auto dropRest = [this, &batch, &done] {
        for (; done < batch.size(); ++done) {
            if (!batch[done].touchOnly) dropped_.fetch_add(1, std::memory_order_relaxed);
        }
    };
    try {
        while (done < batch.size()) {
            if (state_.load() == State::Off || writesOff_.load() ||
                steadyNs(std::chrono::steady_clock::now()) > deadlineNs_.load()) {
                dropRest();
                return;
            }
            const std::size_t end = std::min(batch.size(), done + kBatchEntries);
            std::uint64_t inserted = 0;
            std::uint64_t bytes = 0;
            sqlite::Transaction transaction(writer_);
            for (std::size_t i = done; i < end; ++i) {
                const Pending& p = batch[i];
                sqlite::Statement& statement = p.touchOnly ? touch_ : insert_;
                if (p.touchOnly) {
                    statement.bindInt(1, p.row);
                    statement.bindInt(2, p.used);
                } else {
                    statement.bindBlob(1, p.path);
                    statement.bindText(2, p.kind);
                    statement.bindText(3, p.version);
                    statement.bindInt(4, static_cast<long long>(p.identity.device));
                    statement.bindInt(5, static_cast<long long>(p.identity.inode));
                    statement.bindInt(6, p.identity.size);
                    statement.bindInt(7, p.identity.modifiedNs);
                    statement.bindInt(8, p.identity.changedNs);
                    statement.bindInt(9, p.used);
                    statement.bindBlob(10, p.value);
                    statement.bindInt(11, p.key);
                    ++inserted;
                    bytes += p.path.size() + p.value.size();
                }
                statement.run();
            }
            transaction.commit();
            done = end;
            stored_.fetch_add(inserted, std::memory_order_relaxed);
            bytesSinceTrim_ += bytes;
            // Checked now and then rather than after every batch: the page
            // counts cost little, the trim's sort a lot.
            if (bytesSinceTrim_ >= settings_.maxBytes / 16) {
                bytesSinceTrim_ = 0;
                trimPastBound();
            }
        }
    } catch (const sqlite::Error& e) {
        dropRest();
        if (isBusy(e)) {
            report(kBusy, "busy (another process holds it); skipping what would wait for it");
        } else if (e.primary() == SQLITE_FULL) {
            writesOff_.store(true);
            report(kFull, std::string(e.what()) + "; storing nothing more");
        } else if (e.primary() != SQLITE_INTERRUPT) {
            turnOff(e);
        }
    } catch (const std::exception&) {
        dropRest();
    }
}

void SqliteCache::endIdleSnapshots() {
    const auto now = std::chrono::steady_clock::now();
    // Taken out while their snapshots end: this thread runs at a lower
    // priority, and a lookup must not wait for it on the mutex.
    std::vector<std::unique_ptr<Reader>> expired;
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        for (std::unique_ptr<Reader>& reader : idleReaders_) {
            if (reader->inSnapshot && now - reader->began >= kSnapshotTime) {
                expired.push_back(std::move(reader));
            }
        }
        idleReaders_.erase(std::remove(idleReaders_.begin(), idleReaders_.end(), nullptr),
                           idleReaders_.end());
    }
    for (std::unique_ptr<Reader>& reader : expired) {
        reader->endSnapshot();
        snapshots_.fetch_sub(1);
        giveBack(std::move(reader));
    }
}

void SqliteCache::trimPastBound() {
    for (int round = 0; round < 4; ++round) {
        const long long pageSize = writer_.queryInt("PRAGMA page_size");
        const long long pages =
            writer_.queryInt("PRAGMA page_count") - writer_.queryInt("PRAGMA freelist_count");
        const std::uint64_t used = static_cast<std::uint64_t>(pages * pageSize);
        if (used <= settings_.maxBytes) return;
        // Down to three quarters of the bound, so the next batches do not
        // trim again at once.
        const std::uint64_t target = settings_.maxBytes / 4 * 3;
        const long long entries = writer_.queryInt("SELECT count(*) FROM entry");
        const long long remove =
            static_cast<long long>(static_cast<double>(entries) *
                                   static_cast<double>(used - target) / static_cast<double>(used)) +
            1;
        sqlite::Transaction transaction(writer_);
        sqlite::Statement trim(writer_, kTrim);
        trim.bindInt(1, remove);
        trim.run();
        transaction.commit();
    }
}

void SqliteCache::turnOff(const sqlite::Error& error) {
    if (isDamage(error)) damaged_.store(true);
    State open = State::Open;
    state_.compare_exchange_strong(open, State::Off);
    report(kUnusable,
           std::string(error.what()) +
               (isDamage(error) ? "; working without it, and setting it aside for a fresh one"
                                : "; working without it"));
}

void SqliteCache::report(Problem problem, const std::string& text) {
    std::lock_guard<std::mutex> lock(reportMutex_);
    if (reported_[problem]) return;
    reported_[problem] = true;
    util::writeErrorLine("File cache " + settings_.path + ": " + text + "\n");
}

void SqliteCache::setAside(bool announce) {
    const std::string aside = settings_.path + ".corrupt";
    const bool moved = std::rename(settings_.path.c_str(), aside.c_str()) == 0;
    for (const char* companion : kCompanions) ::unlink((settings_.path + companion).c_str());
    if (!announce) return;
    std::lock_guard<std::mutex> lock(reportMutex_);
    util::writeErrorLine("File cache " + settings_.path + ": damaged; " +
                         (moved ? "set aside as " + aside : std::string("could not be set aside")) +
                         " and started afresh\n");
}

void SqliteCache::close(std::chrono::steady_clock::time_point deadline) {
    if (state_.exchange(State::Closed) == State::Closed) return;
    // It may have started the writer.
    std::thread opener;
    {
        std::lock_guard<std::mutex> lock(openMutex_);
        opener.swap(opener_);
    }
    if (opener.joinable()) opener.join();
    if (writerThread_.joinable()) {
        deadlineNs_.store(steadyNs(deadline));
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            stopping_ = true;
        }
        queued_.notify_all();
        writerThread_.join();
        PendingQueue rest;
        {
            std::lock_guard<std::mutex> lock(queueMutex_);
            rest.swap(queue_);
            queuedBytes_ = 0;
        }
        write(rest);
    }
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        idleReaders_.clear();
    }
    insert_ = sqlite::Statement();
    touch_ = sqlite::Statement();
    writer_.close();
    // turnOff has said so already.
    if (damaged_.load() && looksLikeDatabase(settings_.path)) setAside(false);
    if (settings_.reportStats) {
        const Counts c = counts();
        util::writeErrorLine("File cache: " + std::to_string(c.hits) + " hits, " +
                             std::to_string(c.misses) + " misses, " + std::to_string(c.stored) +
                             " stored, " + std::to_string(c.dropped) + " dropped\n");
    }
}

SqliteCache::Counts SqliteCache::counts() const {
    Counts counts;
    counts.hits = hits_.load();
    counts.misses = misses_.load();
    counts.stored = stored_.load();
    counts.dropped = dropped_.load();
    return counts;
}

namespace {

// An existing cache file, opened without creating anything.
sqlite::Database openExisting(const std::string& path) {
    requireRegularFile(path);
    sqlite::Database db(path, SQLITE_OPEN_READWRITE);
    // A user's command may wait for a helper's batch to be committed.
    db.busyTimeout(2000);
    checkOwnership(db);
    return db;
}

}  // namespace

CacheSummary summarizeCache(const std::string& path) {
    CacheSummary summary;
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return summary;
    summary.exists = true;
    summary.fileBytes = static_cast<std::uint64_t>(status.st_size) + fileBytes(path + "-wal");
    sqlite::Database db = openExisting(path);
    if (db.queryInt("SELECT count(*) FROM sqlite_master WHERE name = 'entry'") == 0) {
        return summary;
    }
    sqlite::Statement kinds(db, "SELECT kind, count(*) FROM entry GROUP BY kind ORDER BY kind");
    while (kinds.step()) {
        const std::string_view kind = kinds.columnBlob(0);
        summary.entriesByKind[std::string(kind)] = kinds.columnInt(1);
        summary.entries += kinds.columnInt(1);
    }
    return summary;
}

void clearCache(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) return;
    try {
        sqlite::Database db = openExisting(path);
        if (db.queryInt("SELECT count(*) FROM sqlite_master WHERE name = 'entry'") != 0) {
            db.exec("DELETE FROM entry");
        }
        // Gives the pages back to the file system and empties the log.
        db.exec("VACUUM");
        db.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    } catch (const sqlite::Error& e) {
        // Only a database is removed: a file of another kind at the path is
        // somebody's, whatever the setting says.
        if (!isDamage(e) || !looksLikeDatabase(path)) throw;
        if (::unlink(path.c_str()) != 0) throw;
        for (const char* companion : kCompanions) ::unlink((path + companion).c_str());
    }
}

}  // namespace cache
}  // namespace Ostra
