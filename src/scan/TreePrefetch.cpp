#include "scan/TreePrefetch.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace Ostra {

namespace {

// Folders waiting to be read; past it those the walk would reach last are
// passed over, which costs the walk only the wait it would have had anyway.
constexpr std::size_t kMaxPending = 4096;
// The walk's own bound on the depth of folders.
constexpr unsigned kMaxDepth = 256;
// How often a thread waiting for folders looks whether it should stop.
constexpr std::chrono::milliseconds kStopCheck(50);

}  // namespace

// Shared by the threads, which may outlive the object that started them.
struct TreePrefetch::State {
    struct Folder {
        std::string path;
        unsigned depth;
    };

    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Folder> pending;  // guarded by mutex; the walk's next folder last
    unsigned reading = 0;        // guarded by mutex

    static void run(const std::shared_ptr<State>& state) {
        // Nothing may leave a thread; a reader that gives up only warms less.
        try {
            state->serve();
        } catch (...) {
            state->stopping.store(true);
            state->changed.notify_all();
        }
    }

    void serve() {
        ::pthread_setname_np(::pthread_self(), "tree prefetch");
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait_for(lock, kStopCheck, [this] {
                return stopping.load() || !pending.empty() || reading == 0;
            });
            if (stopping.load()) return;
            if (pending.empty()) {
                if (reading != 0) continue;
                // Nothing left, and nobody reading who could find more.
                stopping.store(true);
                changed.notify_all();
                return;
            }
            const Folder folder = std::move(pending.back());
            pending.pop_back();
            ++reading;
            lock.unlock();
            try {
                read(folder);
            } catch (const std::exception&) {
                // Out of memory: this folder's children go unread.
            }
            lock.lock();
            --reading;
            changed.notify_all();
        }
    }

    void read(const Folder& folder) {
        // Like the walk: the root may be a link, nothing below it is
        // followed, and nothing waits on a FIFO.
        const int fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK |
                                                       (folder.depth == 0 ? 0 : O_NOFOLLOW));
        if (fd < 0) return;
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            ::close(fd);
            return;
        }
        std::vector<std::string> children;
        for (const struct dirent* entry = ::readdir(dir); entry != nullptr && !stopping.load();
             entry = ::readdir(dir)) {
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            // A file's status brings in its inode, which the walk's open
            // needs; a folder's comes in when it is read in its turn.
            bool isFolder = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_REG || entry->d_type == DT_LNK) {
                struct stat status;
                if (::fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
                isFolder = S_ISDIR(status.st_mode);
            }
            if (isFolder && folder.depth + 1 < kMaxDepth) {
                children.push_back(folder.path + (folder.path.back() == '/' ? "" : "/") + name);
            }
        }
        ::closedir(dir);
        std::lock_guard<std::mutex> lock(mutex);
        // The walk lists a folder in the order the system gives and goes into
        // each sub-folder as it meets it: the first child is read next.
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            pending.push_back(Folder{std::move(*child), folder.depth + 1});
            if (pending.size() > kMaxPending) pending.pop_front();
        }
    }
};

TreePrefetch::TreePrefetch(const std::string& root, unsigned threads)
    : state_(std::make_shared<State>()) {
    if (root.empty()) return;
    state_->pending.push_back(State::Folder{root, 0});
    for (unsigned i = 0; i < threads; ++i) {
        try {
            std::thread(&State::run, state_).detach();
        } catch (const std::exception&) {
            // Fewer threads (or none) only mean less read ahead.
            break;
        }
    }
}

TreePrefetch::~TreePrefetch() {
    // An idle thread may wait long for a processor on a busy machine; the
    // scan never waits for it.
    state_->stopping.store(true);
    state_->changed.notify_all();
}

}  // namespace Ostra
