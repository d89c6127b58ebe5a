// The sleep preventer in process, against private buses with mock services.
#include "system/SleepPreventer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "system/BusFixture.h"

namespace {

using Mode = Ostra::SleepPreventer::Mode;
using systemtest::absentBusAddress;
using systemtest::BusEnvironment;
using systemtest::LogindMock;
using systemtest::PrivateBus;
using systemtest::ScreenSaverMock;

TEST(SleepPreventerTest, HoldsOneInhibitorLockFromLogind) {
    PrivateBus system("system");
    LogindMock logind(system);
    BusEnvironment env(system.address(), absentBusAddress());
    auto preventer = std::make_unique<Ostra::SleepPreventer>();
    ASSERT_EQ(preventer->mode(), Mode::Assertion);

    EXPECT_TRUE(preventer->preventSleep());
    EXPECT_EQ(logind.waitForInhibitors(1),
              std::vector<std::string>{"idle:sleep|ostra-native|Lumasond is busy|block"});
    // A second request keeps the lock it holds rather than swapping it for
    // a new one.
    EXPECT_TRUE(preventer->preventSleep());
    EXPECT_EQ(logind.calls("Inhibit"), 1);
    EXPECT_TRUE(preventer->allowSleep());
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
    EXPECT_TRUE(preventer->allowSleep());
    // Destruction gives a held lock up.
    ASSERT_TRUE(preventer->preventSleep());
    ASSERT_EQ(logind.waitForInhibitors(1).size(), 1u);
    preventer.reset();
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
}

TEST(SleepPreventerTest, ConcurrentRequestsNeverLeakALock) {
    PrivateBus system("system");
    LogindMock logind(system);
    BusEnvironment env(system.address(), absentBusAddress());
    Ostra::SleepPreventer preventer;
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                bool ok = (i + t) % 2 == 0 ? preventer.preventSleep() : preventer.allowSleep();
                if (!ok) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    // A lock taken twice or lost track of would still be listed after this.
    ASSERT_TRUE(preventer.preventSleep());
    EXPECT_EQ(logind.waitForInhibitors(1).size(), 1u);
    ASSERT_TRUE(preventer.allowSleep());
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
}

TEST(SleepPreventerTest, FailsWhenNothingKeepsTheMachineAwake) {
    // Logind that stops answering after the start, and no bus at all.
    for (bool logindAtStart : {true, false}) {
        PrivateBus system("system");
        auto logind = logindAtStart ? std::make_unique<LogindMock>(system) : nullptr;
        BusEnvironment env(logindAtStart ? system.address() : absentBusAddress(),
                           absentBusAddress());
        Ostra::SleepPreventer preventer;
        EXPECT_EQ(preventer.mode(), logindAtStart ? Mode::Assertion : Mode::Unavailable);
        logind.reset();
        EXPECT_TRUE(preventer.allowSleep()) << logindAtStart;
        EXPECT_FALSE(preventer.preventSleep()) << logindAtStart;
        EXPECT_TRUE(preventer.allowSleep()) << logindAtStart;
    }
}

TEST(SleepPreventerTest, ReportsActivityToTheScreenSaverWithoutLogind) {
    PrivateBus session("session");
    ScreenSaverMock screenSaver(session);
    BusEnvironment env(absentBusAddress(), session.address());
    auto preventer = std::make_unique<Ostra::SleepPreventer>();
    ASSERT_EQ(preventer->mode(), Mode::Periodic);
    EXPECT_EQ(screenSaver.calls("SimulateUserActivity"), 0);

    EXPECT_TRUE(preventer->preventSleep());
    EXPECT_GE(screenSaver.waitForCalls("SimulateUserActivity", 1), 1);
    EXPECT_TRUE(preventer->allowSleep());
    EXPECT_TRUE(preventer->allowSleep());
    // Preventing again reports at once, not at the end of the interval.
    EXPECT_TRUE(preventer->preventSleep());
    EXPECT_GE(screenSaver.waitForCalls("SimulateUserActivity", 2), 2);

    // The loop now waits for its next report; destruction must not wait for
    // it. The bound only catches a wait of the full 25-second interval.
    std::future<void> destroyed =
        std::async(std::launch::async, [&preventer] { preventer.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(15)), std::future_status::ready);
}

}  // namespace
