#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "Core/Utilities/Serial.h"

using namespace svsdk;

TEST(SerialTest, WritesLandInOrderUpdatesChangeInPlaceAndAReplacedValueIsReleasedOutsideTheLock) {
    Serial<std::map<std::string, int>> counts("Serial queue");
    EXPECT_TRUE(counts.value().empty());
    counts.write({{"x", 9}});
    counts.write({{"x", 1}});
    counts.value()["c"] = 4;  // a copy: the guarded value stays
    EXPECT_EQ(counts.value(), (std::map<std::string, int>{{"x", 1}}));
    EXPECT_TRUE(counts.update([](auto& map) { return map.emplace("y", 5).second; }));
    EXPECT_FALSE(counts.update([](auto& map) { return map.emplace("y", 6).second; }));
    EXPECT_EQ(counts.update([](auto& map) { return map["x"]++; }), 1);
    counts.update([](auto& map) { map.erase("y"); });
    EXPECT_EQ(counts.value(), (std::map<std::string, int>{{"x", 2}}));

    struct Probe {
        Serial<std::shared_ptr<Probe>>* owner;
        bool* released;
        ~Probe() {
            *released = true;
            (void)owner->value();  // would deadlock if the old value were destroyed under the lock
        }
    };
    bool released = false;
    Serial<std::shared_ptr<Probe>> slot("probe");
    slot.write(std::make_shared<Probe>(&slot, &released));
    EXPECT_FALSE(released);
    slot.write(nullptr);
    EXPECT_TRUE(released);
}
