#include <gtest/gtest.h>

#include <atomic>

#include <svsdk/SVApplicationLifecycle.h>

#include "Core/Security/HandlesManager.h"
#include "Core/Time/TimeManager.h"
#include "Platform/DispatchQueue.h"
#include "support/ScopedClock.h"
#include "support/SigningUser.h"
#include "support/TestEnvironment.h"

using namespace svsdk;
using svsdk::testing::makeUser;
using svsdk::testing::ScopedPlatform;

namespace {

// A device clock the test moves by hand, given to the manager.
struct ManualClock {
    std::shared_ptr<std::atomic<double>> seconds = std::make_shared<std::atomic<double>>(1'700'000'000.0);
    HandlesManager::Clock clock() const {
        return [s = seconds] { return SVDate::fromTimeInterval(s->load()); };
    }
    void advance(double by) { *seconds = seconds->load() + by; }
};

// A manager on a manual clock, with the log of the "Handles" category.
struct HandlesTest : ::testing::Test {
    ScopedPlatform platform{SVLoggingOptions::debug};
    ManualClock clock;
    HandlesManager handles{clock.clock()};
    const SVUser alice = makeUser("alice", 0, 180, 180, "storage-1");

    int logged(const std::string& text) {
        int n = 0;
        for (const auto& e : platform.log().entries())
            if (e.category == SVLogCategory::handles && e.message == text) ++n;
        return n;
    }
};

}  // namespace

TEST_F(HandlesTest, HandlesAreFiledByUniqueUserAndType) {
    const SVUser aliceCopy = makeUser("alice", 0, 180, 180, "storage-2");  // same userID, another copy
    handles.add(bytesOf("hmac key"), HandleType::hmac, alice);
    EXPECT_EQ(handles.handle(HandleType::hmac, alice), bytesOf("hmac key"));
    EXPECT_FALSE(handles.handle(HandleType::auth, alice));
    EXPECT_FALSE(handles.handle(HandleType::hmac, aliceCopy));
    EXPECT_EQ(logged("Added hmac handle for alice"), 1);

    handles.add(bytesOf("replaced"), HandleType::hmac, alice);
    EXPECT_EQ(handles.handle(HandleType::hmac, alice), bytesOf("replaced"));
    handles.remove(HandleType::hmac, alice);
    EXPECT_FALSE(handles.handle(HandleType::hmac, alice));
    handles.remove(HandleType::password, aliceCopy);
    EXPECT_EQ(logged("Removed password handle for alice"), 1) << "logged even when nothing was there";
}

TEST_F(HandlesTest, HandlesExpireByAgeWhenRead) {
    handles.add(bytesOf("k"), HandleType::hmac, alice);
    clock.advance(7200);
    EXPECT_TRUE(handles.handle(HandleType::hmac, alice)) << "exactly the timeout is still valid";
    clock.advance(1);
    EXPECT_FALSE(handles.handle(HandleType::hmac, alice));
    EXPECT_FALSE(handles.handle(HandleType::hmac, alice));
    EXPECT_EQ(logged("Handle of type hmac is no longer valid."), 1);

    // Adding again restarts the age; reading does not.
    handles.add(bytesOf("a"), HandleType::auth, alice);
    clock.advance(5000);
    handles.handle(HandleType::auth, alice);
    handles.add(bytesOf("b"), HandleType::auth, alice);
    clock.advance(5000);
    EXPECT_EQ(handles.handle(HandleType::auth, alice), bytesOf("b"));
    clock.advance(2201);
    EXPECT_FALSE(handles.handle(HandleType::auth, alice));

    // A clock set back ages a handle too.
    handles.add(bytesOf("c"), HandleType::password, alice);
    clock.advance(-7201);
    EXPECT_FALSE(handles.handle(HandleType::password, alice));
}

TEST(HandlesManagerTest, AgesFollowTheDeviceClockNotTheCorrectedOne) {
    svsdk::testing::ScopedClock clock(1'700'000'000, 1000);
    HandlesManager handles;
    const SVUser alice = makeUser("alice");
    handles.add(bytesOf("k"), HandleType::hmac, alice);
    clock.advance(100);
    TimeManager::setStableTime(StableTime{1100, 1'700'000'100, 10'000});  // corrected time jumps ahead
    EXPECT_TRUE(handles.handle(HandleType::hmac, alice));
    clock.advance(7101);
    EXPECT_FALSE(handles.handle(HandleType::hmac, alice));
}

TEST_F(HandlesTest, ReturnAfterALongAbsenceDropsEverything) {
    handles.add(bytesOf("k"), HandleType::hmac, alice);
    handles.appDidBecomeActive();  // first launch: nothing recorded
    EXPECT_TRUE(handles.handle(HandleType::hmac, alice));

    // Away for 10 s, then exactly the timeout: kept; for 16 s: all dropped.
    for (double away : {10.0, 15.0, 16.0}) {
        handles.appWillResignActive();
        clock.advance(away);
        handles.appDidBecomeActive();
        EXPECT_EQ(handles.handle(HandleType::hmac, alice).has_value(), away <= 15) << away;
    }
    EXPECT_EQ(logged("Handles will be removed in 15.0 seconds"), 3);
    EXPECT_EQ(logged("All handles are removed"), 1);

    handles.setHandlesBackgroundTimeout(60);
    handles.add(bytesOf("k"), HandleType::hmac, alice);
    handles.appWillResignActive();
    EXPECT_EQ(logged("Handles will be removed in 60.0 seconds"), 1);
    clock.advance(30);
    handles.appDidBecomeActive();
    EXPECT_TRUE(handles.handle(HandleType::hmac, alice));
    handles.setHandlesBackgroundTimeout(2.5);
    handles.appWillResignActive();
    EXPECT_EQ(logged("Handles will be removed in 2.5 seconds"), 1);
}

TEST(HandlesManagerTest, HostLifecycleEntryPointsReachTheHandlersOnTheMainQueue) {
    ScopedPlatform platform(SVLoggingOptions::debug);
    ManualClock clock;
    struct Recording : HandlesManager {
        using HandlesManager::HandlesManager;
        std::atomic<bool> onMain{true};
        void appWillResignActive() override {
            if (!DispatchQueue::main().isCurrent()) onMain = false;
            HandlesManager::appWillResignActive();
        }
    };
    Recording handles(clock.clock());
    handles.startObserving();
    handles.startObserving();  // registering again replaces the registrations
    const SVUser alice = makeUser("alice");
    handles.add(bytesOf("k"), HandleType::hmac, alice);

    SVApplicationLifecycle::willResignActive();
    clock.advance(20);
    SVApplicationLifecycle::didBecomeActive();
    EXPECT_TRUE(handles.onMain);
    EXPECT_FALSE(handles.handle(HandleType::hmac, alice));
    int removals = 0;
    for (const auto& e : platform.log().entries()) removals += e.message == "All handles are removed";
    EXPECT_EQ(removals, 1) << "one registration per event";

    handles.add(bytesOf("k"), HandleType::hmac, alice);
    SVApplicationLifecycle::willTerminate();
    EXPECT_FALSE(handles.handle(HandleType::hmac, alice));
    EXPECT_TRUE(platform.log().contains(SVLogCategory::handles, "Handles have been removed"));

    handles.stopObserving();
    handles.add(bytesOf("k"), HandleType::hmac, alice);
    SVApplicationLifecycle::willTerminate();
    EXPECT_TRUE(handles.handle(HandleType::hmac, alice)) << "no longer observing";
}
