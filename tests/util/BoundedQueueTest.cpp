#include "util/BoundedQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <vector>

namespace {

using Ostra::util::BoundedQueue;

// A producer pushes 0..99 while the consumer takes the row's count: all of
// them after the producer's finish(), or fewer and then closes the queue.
TEST(BoundedQueue, HandsOverInOrderWithinItsBound) {
    for (const int taken : {100, 3, 0}) {
        SCOPED_TRACE(taken);
        const bool finishes = taken == 100;
        const std::size_t capacity = 2;
        BoundedQueue<std::vector<int>> queue(capacity);
        std::atomic<int> pushed{0};
        std::atomic<int> refused{0};
        boost::thread producer([&] {
            for (int i = 0; i < 100; ++i) {
                std::vector<int> item = queue.spare();
                item.assign(1, i);
                if (queue.push(std::move(item))) {
                    ++pushed;
                } else {
                    ++refused;
                }
            }
            if (finishes) queue.finish();
        });
        std::vector<int> item;
        for (int i = 0; i < taken; ++i) {
            ASSERT_TRUE(queue.pop(item));
            ASSERT_EQ(std::vector<int>{i}, item);
            // Never more than the bound ahead of what was taken.
            EXPECT_LE(pushed.load(), i + 1 + static_cast<int>(capacity));
            queue.recycle(std::move(item));
        }
        if (!finishes) queue.close();
        EXPECT_FALSE(queue.pop(item));
        // A producer waiting for room when the consumer closes stops waiting.
        ASSERT_TRUE(producer.timed_join(boost::posix_time::seconds(10)));
        EXPECT_EQ(100, pushed + refused);
        // Closing drops what waits and refuses the rest.
        EXPECT_LE(pushed.load(), taken + static_cast<int>(capacity));
    }
}

}  // namespace
