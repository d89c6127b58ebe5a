// The hand-over queue: order, the bound on a fast producer, and either side
// ending it while the other waits.
#include "util/BoundedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <vector>

namespace {

using Ostra::util::BoundedQueue;

// A producer pushing 0..count-1 while a consumer takes what the row lets it;
// the producer's pushes that failed are counted.
struct Row {
    const char* name;
    int count;
    int taken;      // the consumer closes after this many (count: drains to the end)
    bool finishes;  // the producer calls finish() after its pushes
};

TEST(BoundedQueue, HandsOverInOrderWithinItsBound) {
    const Row rows[] = {
        {"drained after finish", 100, 100, true},
        {"consumer closes while the producer waits for room", 100, 3, false},
        {"consumer closes before anything came", 100, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::size_t capacity = 2;
        BoundedQueue<std::vector<int>> queue(capacity);
        std::atomic<int> pushed{0};
        std::atomic<int> refused{0};
        boost::thread producer([&] {
            for (int i = 0; i < row.count; ++i) {
                std::vector<int> item = queue.spare();
                item.assign(1, i);
                if (queue.push(std::move(item))) {
                    ++pushed;
                } else {
                    ++refused;
                }
            }
            if (row.finishes) queue.finish();
        });
        std::vector<int> item;
        for (int i = 0; i < row.taken; ++i) {
            ASSERT_TRUE(queue.pop(item));
            ASSERT_EQ(std::vector<int>{i}, item);
            // Never more than the bound ahead of what was taken.
            EXPECT_LE(pushed.load(), i + 1 + static_cast<int>(capacity));
            queue.recycle(std::move(item));
        }
        if (row.finishes) {
            EXPECT_FALSE(queue.pop(item));
        } else {
            queue.close();
            EXPECT_FALSE(queue.pop(item));
        }
        // A producer waiting for room when the consumer closes stops waiting.
        ASSERT_TRUE(producer.timed_join(boost::posix_time::seconds(10)));
        EXPECT_EQ(row.count, pushed + refused);
        // Closing drops what waits and refuses the rest.
        EXPECT_LE(pushed.load(), row.taken + static_cast<int>(capacity));
    }
}

}  // namespace
