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

namespace {

// A manager on a device clock the test moves by hand, with the log of the "Handles" category.
struct HandlesTest : ::testing::Test {
    svsdk::testing::ScopedPlatform platform{SVLoggingOptions::debug};
    std::shared_ptr<std::atomic<double>> seconds = std::make_shared<std::atomic<double>>(1'700'000'000.0);
    HandlesManager::Clock clock = [s = seconds] { return SVDate::fromTimeInterval(s->load()); };
    HandlesManager handles{clock};
    const SVUser alice = makeUser("alice", 0, 180, 180, "storage-1");

    void advance(double by) { *seconds = seconds->load() + by; }
    bool has(HandleType type = HandleType::hmac) { return handles.handle(type, alice).has_value(); }
    int logged(const std::string& text) {
        int n = 0;
        for (const auto& e : platform.log().entries()) n += e.category == SVLogCategory::handles && e.message == text;
        return n;
    }
};

}  // namespace

TEST_F(HandlesTest, HandlesAreFiledByUniqueUserAndTypeAndExpireByAgeWhenRead) {
    const SVUser aliceCopy = makeUser("alice", 0, 180, 180, "storage-2");  // same userID, another copy
    handles.add(bytesOf("hmac key"), HandleType::hmac, alice);
    EXPECT_EQ(handles.handle(HandleType::hmac, alice), bytesOf("hmac key"));
    EXPECT_FALSE(has(HandleType::auth));
    EXPECT_FALSE(handles.handle(HandleType::hmac, aliceCopy));
    EXPECT_EQ(logged("Added hmac handle for alice"), 1);
    handles.add(bytesOf("replaced"), HandleType::hmac, alice);
    EXPECT_EQ(handles.handle(HandleType::hmac, alice), bytesOf("replaced"));
    handles.remove(HandleType::hmac, alice);
    EXPECT_FALSE(has());
    handles.remove(HandleType::password, aliceCopy);
    EXPECT_EQ(logged("Removed password handle for alice"), 1) << "logged even when nothing was there";

    handles.add(bytesOf("k"), HandleType::hmac, alice);
    advance(7200);
    EXPECT_TRUE(has()) << "exactly the timeout is still valid";
    advance(1);
    EXPECT_FALSE(has());
    EXPECT_FALSE(has());
    EXPECT_EQ(logged("Handle of type hmac is no longer valid."), 1);
    // Adding again restarts the age; reading does not.
    handles.add(bytesOf("a"), HandleType::auth, alice);
    advance(5000);
    has(HandleType::auth);
    handles.add(bytesOf("b"), HandleType::auth, alice);
    advance(5000);
    EXPECT_EQ(handles.handle(HandleType::auth, alice), bytesOf("b"));
    advance(2201);
    EXPECT_FALSE(has(HandleType::auth));
    // A clock set back ages a handle too.
    handles.add(bytesOf("c"), HandleType::password, alice);
    advance(-7201);
    EXPECT_FALSE(has(HandleType::password));
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
    EXPECT_TRUE(has());
    for (double away : {10.0, 15.0, 16.0}) {  // kept up to the timeout, dropped after it
        handles.appWillResignActive();
        advance(away);
        handles.appDidBecomeActive();
        EXPECT_EQ(has(), away <= 15) << away;
    }
    EXPECT_EQ(logged("Handles will be removed in 15.0 seconds"), 3);
    EXPECT_EQ(logged("All handles are removed"), 1);

    handles.setHandlesBackgroundTimeout(60);
    handles.add(bytesOf("k"), HandleType::hmac, alice);
    handles.appWillResignActive();
    advance(30);
    handles.appDidBecomeActive();
    EXPECT_TRUE(has());
    handles.setHandlesBackgroundTimeout(2.5);
    handles.appWillResignActive();
    EXPECT_EQ(logged("Handles will be removed in 60.0 seconds") + logged("Handles will be removed in 2.5 seconds"), 2);
}

TEST_F(HandlesTest, HostLifecycleEntryPointsReachTheHandlersOnTheMainQueue) {
    struct Recording : HandlesManager {
        using HandlesManager::HandlesManager;
        std::atomic<bool> onMain{true};
        void appWillResignActive() override {
            if (!DispatchQueue::main().isCurrent()) onMain = false;
            HandlesManager::appWillResignActive();
        }
    };
    Recording recording(clock);
    recording.startObserving();
    recording.startObserving();  // registering again replaces the registrations
    recording.add(bytesOf("k"), HandleType::hmac, alice);
    SVApplicationLifecycle::willResignActive();
    advance(20);
    SVApplicationLifecycle::didBecomeActive();
    EXPECT_TRUE(recording.onMain);
    EXPECT_FALSE(recording.handle(HandleType::hmac, alice));
    EXPECT_EQ(logged("All handles are removed"), 1) << "one registration per event";

    recording.add(bytesOf("k"), HandleType::hmac, alice);
    SVApplicationLifecycle::willTerminate();
    EXPECT_FALSE(recording.handle(HandleType::hmac, alice));
    EXPECT_EQ(logged("Handles have been removed"), 1);
    recording.stopObserving();
    recording.add(bytesOf("k"), HandleType::hmac, alice);
    SVApplicationLifecycle::willTerminate();
    EXPECT_TRUE(recording.handle(HandleType::hmac, alice)) << "no longer observing";

    {  // a manager destroyed while observing leaves no registration behind
        HandlesManager gone(clock);
        gone.startObserving();
    }
    SVApplicationLifecycle::willTerminate();
    SVApplicationLifecycle::didBecomeActive();
    EXPECT_EQ(logged("Handles have been removed"), 1);
}
