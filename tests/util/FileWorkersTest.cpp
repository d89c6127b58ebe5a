#include "util/FileWorkers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/InOrder.h"

namespace {

using Ostra::util::FileWorkers;
using Ostra::util::InOrder;

// Sleeps at an interruption point, as file work does between chunks.
void work(int milliseconds) {
    boost::this_thread::sleep(boost::posix_time::milliseconds(milliseconds));
}

// Busy for a while without an interruption point, as a tag read is.
void spin(int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
    }
}

void raise(std::atomic<int>& maximum, int value) {
    int seen = maximum.load();
    while (value > seen && !maximum.compare_exchange_weak(seen, value)) {
    }
}

// Counts the jobs running at once across every lane of a test.
struct Concurrency {
    std::atomic<int> now{0};
    std::atomic<int> most{0};
    struct Scope {
        explicit Scope(Concurrency& c) : c_(c) { raise(c_.most, ++c_.now); }
        ~Scope() { --c_.now; }
        Concurrency& c_;
    };
};

struct PoolShape {
    const char* name;
    unsigned threads;
    bool withPool;  // false: every item on the requesting thread
};

class InOrderTable : public ::testing::TestWithParam<PoolShape> {};

// Slow and fast items, every 13th failing and every 7th put without work:
// each result (or failure) comes back at its own position, no item starts a
// window ahead of the oldest not taken, and no more run at once than workers.
TEST_P(InOrderTable, ResultsComeInOrderWithinTheWindow) {
    const PoolShape shape = GetParam();
    FileWorkers pool(shape.threads);
    InOrder<std::string> lane(shape.withPool ? &pool : nullptr);
    const std::size_t expectedWindow =
        shape.threads == 0 || !shape.withPool ? 1 : 4 * shape.threads;
    EXPECT_EQ(lane.window(), expectedWindow);

    const int kItems = 300;
    Concurrency running;
    std::atomic<int> taken{0};
    std::atomic<int> furthestAhead{0};
    std::vector<std::string> results;
    auto deliver = [&] {
        try {
            results.push_back(lane.take());
        } catch (const std::runtime_error& e) {
            results.push_back(std::string("failed: ") + e.what());
        }
        ++taken;
    };
    for (int i = 0; i < kItems; ++i) {
        if (lane.full()) deliver();
        if (i % 7 == 3) {
            lane.put("put " + std::to_string(i));
            continue;
        }
        lane.submit([&, i] {
            Concurrency::Scope scope(running);
            raise(furthestAhead, i - taken.load());
            work(i % 5 == 0 ? 6 : i % 2);
            if (i % 13 == 12) throw std::runtime_error("item " + std::to_string(i));
            return "item " + std::to_string(i);
        });
    }
    while (!lane.empty()) deliver();

    std::vector<std::string> expected;
    for (int i = 0; i < kItems; ++i) {
        expected.push_back(i % 7 == 3 ? "put " + std::to_string(i)
                                      : std::string(i % 13 == 12 ? "failed: " : "") + "item " +
                                            std::to_string(i));
    }
    EXPECT_EQ(results, expected);
    EXPECT_LT(furthestAhead.load(), static_cast<int>(expectedWindow));
    EXPECT_LE(running.most.load(), static_cast<int>(std::max(1u, shape.threads)));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, InOrderTable,
    ::testing::Values(PoolShape{"NoPool", 2, false}, PoolShape{"NoThreads", 0, true},
                      PoolShape{"OneWorker", 1, true}, PoolShape{"TwoWorkers", 2, true},
                      PoolShape{"EightWorkers", 8, true}),
    [](const ::testing::TestParamInfo<PoolShape>& info) { return std::string(info.param.name); });

// A request arriving while a huge one holds the only worker gets it next,
// before the huge one's queued items, and never beside them.
TEST(FileWorkers, ANewRequestTakesTheNextFreeWorker) {
    FileWorkers pool(1);
    Concurrency running;
    boost::mutex mutex;
    std::string started;  // 'h' or 's' as each item starts
    std::atomic<bool> release{false};
    auto log = [&](char c) {
        boost::lock_guard<boost::mutex> lock(mutex);
        started += c;
    };
    InOrder<int> huge(&pool, 20);
    for (int i = 0; i < 20; ++i) {
        huge.submit([&] {
            Concurrency::Scope scope(running);
            log('h');
            while (!release) work(1);
            return 0;
        });
    }
    for (bool running = false; !running; work(1)) {
        boost::lock_guard<boost::mutex> lock(mutex);
        running = !started.empty();
    }
    InOrder<int> small(&pool);
    small.submit([&] {
        Concurrency::Scope scope(running);
        log('s');
        return 1;
    });
    release = true;
    EXPECT_EQ(small.take(), 1);
    while (!huge.empty()) huge.take();
    EXPECT_EQ(started.substr(0, 3), "hsh");
    EXPECT_EQ(running.most.load(), 1);
}

// An interrupted request wakes, its items not started never start, and the
// workers serve the next request without a stale interruption; with the
// pool stopped, the requesting thread runs its queued items itself.
TEST(FileWorkers, ARequestEndingEarlyLeavesNothingBehind) {
    FileWorkers pool(2);
    std::atomic<int> started{0};
    std::atomic<int> taken{0};
    bool sawInterruption = false;
    boost::thread request([&] {
        InOrder<int> lane(&pool);
        try {
            for (int i = 0; i < 100000; ++i) {
                if (lane.full()) {
                    lane.take();
                    ++taken;
                }
                lane.submit([&, i] {
                    ++started;
                    i % 2 == 0 ? spin(5) : work(5);
                    return i;
                });
            }
        } catch (const boost::thread_interrupted&) {
            sawInterruption = true;
        }
    });
    while (taken < 20) work(1);
    const auto asked = std::chrono::steady_clock::now();
    request.interrupt();
    request.join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(10));
    EXPECT_TRUE(sawInterruption);
    const int startedAtEnd = started.load();
    EXPECT_LE(startedAtEnd, taken.load() + 8);
    work(50);
    EXPECT_EQ(started.load(), startedAtEnd) << "an abandoned item started after its request ended";

    // The next request's items sleep at interruption points too, none of them
    // catching one meant for the abandoned items; the pool stops meanwhile.
    InOrder<int> lane(&pool, 16);
    for (int i = 0; i < 16; ++i) {
        lane.submit([i] {
            work(3);
            return i;
        });
    }
    boost::thread stopper([&] { pool.stop(); });
    for (int i = 0; i < 16; ++i) EXPECT_EQ(lane.take(), i);
    stopper.join();
}

}  // namespace
