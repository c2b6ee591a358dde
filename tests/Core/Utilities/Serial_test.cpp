#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "Core/Utilities/Serial.h"

using namespace svsdk;

TEST(SerialTest, WritesLandInOrderAndUpdatesChangeInPlace) {
    Serial<std::map<std::string, int>> counts("Serial queue");
    EXPECT_TRUE(counts.value().empty());
    counts.write({{"x", 9}});
    counts.write({{"x", 1}});
    EXPECT_EQ(counts.value(), (std::map<std::string, int>{{"x", 1}}));
    auto copy = counts.value();  // a copy: changing it leaves the guarded value alone
    copy["c"] = 4;

    EXPECT_TRUE(counts.update([](auto& map) { return map.emplace("y", 5).second; }));
    EXPECT_FALSE(counts.update([](auto& map) { return map.emplace("y", 6).second; }));
    EXPECT_EQ(counts.update([](auto& map) { return map["x"]++; }), 1);
    counts.update([](auto& map) { map.erase("y"); });
    EXPECT_EQ(counts.value(), (std::map<std::string, int>{{"x", 2}}));
}

TEST(SerialTest, AReplacedValueIsReleasedOnceAndOutsideTheLock) {
    struct Probe {
        Serial<std::shared_ptr<Probe>>* owner = nullptr;
        bool* released = nullptr;
        ~Probe() {
            if (!released) return;
            *released = true;
            // Would deadlock if the old value were destroyed under the lock.
            (void)owner->value();
        }
    };
    bool released = false;
    Serial<std::shared_ptr<Probe>> slot("probe");
    auto probe = std::make_shared<Probe>();
    probe->owner = &slot;
    probe->released = &released;
    slot.write(std::move(probe));
    EXPECT_FALSE(released);
    slot.write(nullptr);
    EXPECT_TRUE(released);
}
