#pragma once

#include <absl/container/flat_hash_set.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cache/CacheSettings.h"
#include "cache/FileCache.h"
#include "lib/sqlite/Database.h"
#include "lib/sqlite/Statement.h"

namespace Ostra {
namespace cache {

// The file cache in one SQLite file, shared by every helper of the user.
//
// Entries are keyed by the path and the kind, and carry the file's identity
// and the reader's version, which a lookup compares. Keying by path rather
// than by identity keeps what a reader derives from the name (the "id" and
// "path" of a song, the format chosen by the extension) exact for hard links
// and renames; a renamed file is read again anyway, since the rename moves its
// status-change time. A file written again under the same name replaces its
// entry, and entries of files that are gone age out through the size bound.
//
// Lookups run on the caller's thread on connections of a small pool; writes
// queue for one writer thread, which commits them in batches, refreshes the
// last use of entries found (at most once a day each, so a rescan writes
// nothing) and trims the least recently used entries past the size bound.
// The file is opened on first use. Any failure (a missing or read-only
// folder, a damaged file, a full disk, another process holding it) costs the
// caller nothing but a miss: the cache turns itself off, or stops writing, and
// says so once on the log. A damaged file is set aside and started afresh.
//
// find and store may be called from any thread until close(), which the
// owner calls once no other thread uses the cache any more.
class SqliteCache : public FileCache {
  public:
    struct Counts {
        std::uint64_t hits = 0;
        std::uint64_t misses = 0;
        std::uint64_t stored = 0;   // entries committed
        std::uint64_t dropped = 0;  // entries that could not be written
    };

    // Problems and statistics go to standard error through util's trace
    // writer, which never blocks on a host that lets that output fill up.
    explicit SqliteCache(const CacheSettings& settings);
    // Closes with no time for pending writes.
    ~SqliteCache() override;
    SqliteCache(const SqliteCache&) = delete;
    SqliteCache& operator=(const SqliteCache&) = delete;

    bool find(const std::string& path, const std::string& kind, const std::string& version,
              const FileIdentity& identity, std::string& value) override;
    void store(const std::string& path, const std::string& kind, const std::string& version,
               const FileIdentity& identity, std::string value) override;

    // Writes what is queued until `deadline` and drops the rest, then closes
    // the file. With OSTRA_CACHE_STATS, prints the counts.
    void close(std::chrono::steady_clock::time_point deadline);
    Counts counts() const;

  private:
    struct Reader;
    // A value for the writer. Its texts point into the blocks of the queue
    // (or batch) holding it.
    struct Pending {
        std::string_view path;
        std::string_view kind;
        std::string_view version;
        FileIdentity identity;
        std::string_view value;
        std::int64_t key = 0;  // keyOf(path, kind)
        long long used = 0;
        bool touchOnly = false;  // refresh the last use of the entry found at `row`
        long long row = 0;
    };
    // Values waiting for the writer. Their texts are copied into large
    // blocks of the queue's own as they come: thousands of small strings a
    // scan's reading threads made, held until the writer's turn between
    // their short-lived allocations, would slow every later allocation of
    // those threads (a first scan read some 8 % slower so).
    class PendingQueue {
      public:
        // Queues the value with copies of its texts.
        void push(Pending pending);
        std::vector<Pending>& entries() { return entries_; }
        void swap(PendingQueue& other) {
            entries_.swap(other.entries_);
            blocks_.swap(other.blocks_);
            std::swap(next_, other.next_);
            std::swap(free_, other.free_);
        }

      private:
        std::string_view keep(std::string_view text);

        std::vector<Pending> entries_;
        std::vector<std::unique_ptr<char[]>> blocks_;
        char* next_ = nullptr;  // the free end of the last block
        std::size_t free_ = 0;  // bytes left there
    };
    // Opening: the file is being made on opener_; lookups miss, values queue.
    enum class State { Unopened, Opening, Open, Off, Closed };
    enum Problem { kUnusable, kBusy, kFull, kProblemCount };

    bool ready();
    // Opens the file, or turns the cache off saying why; true when open.
    // Either is taken only from the state `from`.
    bool openOrTurnOff(State from);
    void open();
    // Asks the kernel to read the file (and its log) ahead, so that the
    // lookups of a rescan from a cold disk do not fault its pages in one by
    // one.
    void readAhead();
    // Fills the key filter from the file (writer thread, before its first
    // batch); leaves it unused when the file holds too many keys.
    void loadKeys();
    void addKey(std::int64_t key);
    void openWriter();
    std::unique_ptr<Reader> borrowReader();
    void giveBack(std::unique_ptr<Reader> reader);
    void queue(Pending pending, std::size_t bytes);
    void writerLoop();
    // Ends the snapshots of lookup connections left idle (writer thread).
    void endIdleSnapshots();
    void write(PendingQueue& batch);
    void trimPastBound();
    // A failure of the file itself: off for the rest of the run.
    void turnOff(const sqlite::Error& error);
    void report(Problem problem, const std::string& text);
    // Moves a damaged file out of the way; says so on the log when announce.
    void setAside(bool announce);

    const CacheSettings settings_;

    std::atomic<State> state_{State::Unopened};
    std::mutex openMutex_;  // serialises the first use's open
    std::thread opener_;    // making a new file, when the first use found none
    std::atomic<bool> damaged_{false};
    std::atomic<bool> writesOff_{false};

    std::mutex readersMutex_;
    std::vector<std::unique_ptr<Reader>> idleReaders_;  // guarded by readersMutex_
    std::atomic<int> snapshots_{0};                     // lookup connections holding one

    // The writer thread's own connection and statements; only it touches
    // them once it runs.
    sqlite::Database writer_;
    sqlite::Statement insert_;
    sqlite::Statement touch_;
    std::uint64_t bytesSinceTrim_ = 0;

    std::mutex queueMutex_;
    std::condition_variable queued_;
    PendingQueue queue_;                               // guarded by queueMutex_
    std::size_t queuedBytes_ = 0;                      // guarded by queueMutex_
    bool stopping_ = false;                            // guarded by queueMutex_
    std::atomic<std::int64_t> deadlineNs_{INT64_MAX};  // steady clock; checked mid-statement
    std::atomic<std::int64_t> lastLookupNs_{0};        // steady clock
    std::thread writerThread_;

    // The keys (path and kind, hashed) the file may hold: a key not in the
    // set is a miss without a query, which makes a first scan cost what it
    // did without a cache. Complete from an empty file at once, or once the
    // writer thread has loaded the file's keys; until then, and when the file
    // holds too many keys for the memory bound, every lookup queries. Keys
    // of what this process queues go in before the write, and keys that
    // other processes write meanwhile are missed (a miss is always safe).
    std::mutex keysMutex_;
    enum class Keys { Unknown, Complete, Unbounded };
    Keys keysState_ = Keys::Unknown;          // guarded by keysMutex_
    absl::flat_hash_set<std::int64_t> keys_;  // guarded by keysMutex_
    std::atomic<bool> keysComplete_{false};   // keysState_ == Complete, for a quick look

    std::mutex reportMutex_;
    bool reported_[kProblemCount] = {};  // guarded by reportMutex_

    std::atomic<std::uint64_t> hits_{0}, misses_{0}, stored_{0}, dropped_{0};
};

// What `ostra-host cache` shows of a cache file.
struct CacheSummary {
    bool exists = false;
    std::uint64_t fileBytes = 0;  // the file and its write-ahead log
    long long entries = 0;
    std::map<std::string, long long> entriesByKind;
};

// Reads the summary of the cache file at `path` without creating it. Throws
// sqlite::Error when it cannot be read, std::runtime_error when it is not a
// cache file.
CacheSummary summarizeCache(const std::string& path);
// Removes every entry and gives the space back. A damaged database is
// removed. Throws like summarizeCache.
void clearCache(const std::string& path);

}  // namespace cache
}  // namespace Ostra
