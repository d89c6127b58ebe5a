// The sleep preventer in process, against private buses with mock services.
#include "system/SleepPreventer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
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
    // A second request keeps the lock it holds, takes no second one.
    EXPECT_TRUE(preventer->preventSleep());
    EXPECT_EQ(logind.calls("Inhibit"), 1);
    EXPECT_TRUE(preventer->allowSleep());
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
    EXPECT_TRUE(preventer->allowSleep());
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

    // Destruction does not wait for the next report, 25 s away.
    std::future<void> destroyed =
        std::async(std::launch::async, [&preventer] { preventer.reset(); });
    EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(15)), std::future_status::ready);
}

}  // namespace
